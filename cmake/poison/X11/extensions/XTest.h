#error "pure logic must not include X11/extensions/XTest.h: keep X11 in the platform code"
