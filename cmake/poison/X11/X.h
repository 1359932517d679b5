#error "pure logic must not include X11/X.h: keep X11 in the platform code"
