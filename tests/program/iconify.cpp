// SPDX-License-Identifier: MIT
// Minimises or restores an X11 window as a window manager does: it notes
// the window iconic in WM_STATE and unmaps it, or notes it normal and maps
// it again. A bare X server has no window manager to ask.
// Usage: iconify WINDOW-ID minimise|restore
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    const bool minimise = argc == 3 && std::strcmp(argv[2], "minimise") == 0;
    if (argc != 3 || (!minimise && std::strcmp(argv[2], "restore") != 0)) {
        std::fprintf(stderr, "usage: iconify WINDOW-ID minimise|restore\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 1;
    const Window window = std::strtoul(argv[1], nullptr, 0);
    const Atom state = XInternAtom(display, "WM_STATE", False);
    // ICCCM: the state, then the icon window (none).
    constexpr long normalState = 1, iconicState = 3;
    const long value[2] = {minimise ? iconicState : normalState, None};
    XChangeProperty(display, window, state, state, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(value),
                    2);
    if (minimise)
        XUnmapWindow(display, window);
    else
        XMapWindow(display, window);
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}
