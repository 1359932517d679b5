#error "pure logic must not include X11/extensions/XInput2.h: keep X11 in the platform code"
