#error "pure logic must not include X11/Xutil.h: keep X11 in the platform code"
