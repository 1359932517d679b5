#error "pure logic must not include X11/Xlib.h: keep X11 in the platform code"
