// Test helper: prints how many pixels of the mouse pointer's current image are visible.
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <cstdio>

int main() {
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    int eventBase = 0, errorBase = 0;
    XFixesCursorImage *cursor = XFixesQueryExtension(display, &eventBase, &errorBase)
                                    ? XFixesGetCursorImage(display)
                                    : nullptr;
    if (!cursor) {
        fprintf(stderr, "the server cannot show its cursor image (XFIXES)\n");
        XCloseDisplay(display);
        return 1;
    }
    // Each pixel is ARGB; a hidden pointer is an image with no opaque pixel.
    unsigned long visible = 0;
    for (int i = 0; i < cursor->width * cursor->height; i++)
        visible += (cursor->pixels[i] >> 24) != 0;
    printf("%lu\n", visible);
    XFree(cursor);
    XCloseDisplay(display);
    return 0;
}
