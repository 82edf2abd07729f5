// SPDX-License-Identifier: MIT
// How long a program takes from its start to a drawn window: starts it, then
// looks every 5 ms for a viewable top-level window whose name begins with
// NAME and whose pixel at X, Y (in the window) is no longer the black of an
// empty window, prints the milliseconds that took, and ends the program
// with SIGTERM.
// Usage: start_to_window NAME X Y PROGRAM [ARGUMENT...]
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

bool drawn(Display* display, Window window, const char* name, int x, int y) {
    char* title = nullptr;
    if (XFetchName(display, window, &title) == 0 || title == nullptr) return false;
    const bool named = std::strncmp(title, name, std::strlen(name)) == 0;
    XFree(title);
    XWindowAttributes attributes;
    if (!named || XGetWindowAttributes(display, window, &attributes) == 0 || attributes.map_state != IsViewable)
        return false;
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) return false;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return (pixel & 0xFFFFFF) != 0;
}

bool found(Display* display, const char* name, int x, int y) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0) return false;
    bool seen = false;
    for (unsigned int child = 0; child < count && !seen; ++child) seen = drawn(display, children[child], name, x, y);
    if (children != nullptr) XFree(children);
    return seen;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: start_to_window NAME X Y PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 1;
    const int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[4], argv + 4);
        _exit(127);
    }
    int status = 0;
    while (!found(display, argv[1], x, y)) {
        if (waitpid(child, &status, WNOHANG) == child) {
            std::fprintf(stderr, "the program ended before its window showed\n");
            return 1;
        }
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(30)) {
            kill(child, SIGKILL);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started);
    std::printf("%.1f\n", took.count());
    std::fflush(stdout);
    kill(child, SIGTERM);
    waitpid(child, &status, 0);
    XCloseDisplay(display);
    return 0;
}
