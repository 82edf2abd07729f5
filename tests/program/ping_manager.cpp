// SPDX-License-Identifier: MIT
// The least of a window manager: maps and places what asks for it, and sends
// each window that takes _NET_WM_PING a ping every 100 ms, as desktops do to
// find windows that no longer answer. It prints "ready" once it takes
// signals. On SIGTERM it prints
// "pings SENT answered ANSWERED longest MILLISECONDS", the longest counting
// pings still unanswered, and exits; SIGUSR1 starts the count afresh. Pings
// to a window that went away are forgotten. Usage: ping_manager (on $DISPLAY)
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

namespace {

volatile sig_atomic_t ending = 0;
volatile sig_atomic_t restarting = 0;
void endOnSignal(int) { ending = 1; }
void restartOnSignal(int) { restarting = 1; }

int ignoreErrors(Display*, XErrorEvent*) { return 0; }

using Clock = std::chrono::steady_clock;
double millisecondsSince(Clock::time_point then) {
    return std::chrono::duration<double, std::milli>(Clock::now() - then).count();
}

}  // namespace

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 1;
    XSetErrorHandler(ignoreErrors);
    const Window root = DefaultRootWindow(display);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(display, "_NET_WM_PING", False);
    XSelectInput(display, root, SubstructureRedirectMask | SubstructureNotifyMask);
    XSync(display, False);
    struct sigaction action {};
    action.sa_handler = endOnSignal;
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = restartOnSignal;
    sigaction(SIGUSR1, &action, nullptr);
    // Until now either signal would end the process unheard.
    std::printf("ready\n");
    std::fflush(stdout);

    std::set<Window> windows;
    std::map<long, std::pair<Window, Clock::time_point>> waiting;
    long sent = 0, answered = 0, number = 0;
    double longest = 0;
    Clock::time_point nextPing = Clock::now();
    while (!ending) {
        if (restarting) {
            restarting = 0;
            waiting.clear();
            sent = answered = 0;
            longest = 0;
        }
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapRequest) {
                XMapWindow(display, event.xmaprequest.window);
                windows.insert(event.xmaprequest.window);
            } else if (event.type == ConfigureRequest) {
                const XConfigureRequestEvent& request = event.xconfigurerequest;
                XWindowChanges changes{
                    request.x,     request.y,     request.width, request.height, request.border_width,
                    request.above, request.detail};
                XConfigureWindow(display, request.window, static_cast<unsigned>(request.value_mask), &changes);
            } else if (event.type == UnmapNotify || event.type == DestroyNotify) {
                const Window gone = event.type == UnmapNotify ? event.xunmap.window : event.xdestroywindow.window;
                windows.erase(gone);
                std::erase_if(waiting, [gone](const auto& entry) { return entry.second.first == gone; });
            } else if (event.type == ClientMessage && event.xclient.message_type == protocols &&
                       static_cast<Atom>(event.xclient.data.l[0]) == ping) {
                auto found = waiting.find(event.xclient.data.l[3]);
                if (found != waiting.end()) {
                    longest = std::max(longest, millisecondsSince(found->second.second));
                    waiting.erase(found);
                    ++answered;
                }
            }
        }
        if (Clock::now() >= nextPing) {
            nextPing += std::chrono::milliseconds(100);
            for (Window window : windows) {
                Atom* offered = nullptr;
                int count = 0;
                bool takesPing = false;
                if (XGetWMProtocols(display, window, &offered, &count)) {
                    takesPing = std::find(offered, offered + count, ping) != offered + count;
                    XFree(offered);
                }
                if (!takesPing) continue;
                XEvent event{};
                event.xclient.type = ClientMessage;
                event.xclient.window = window;
                event.xclient.message_type = protocols;
                event.xclient.format = 32;
                event.xclient.data.l[0] = static_cast<long>(ping);
                event.xclient.data.l[1] = CurrentTime;
                event.xclient.data.l[2] = static_cast<long>(window);
                event.xclient.data.l[3] = ++number;
                ++sent;
                XSendEvent(display, window, False, NoEventMask, &event);
                waiting[number] = {window, Clock::now()};
            }
            XFlush(display);
        }
        pollfd connection{ConnectionNumber(display), POLLIN, 0};
        poll(&connection, 1, 10);
    }
    for (const auto& entry : waiting) longest = std::max(longest, millisecondsSince(entry.second.second));
    std::printf("pings %ld answered %ld longest %.0f\n", sent, answered, longest);
    XCloseDisplay(display);
    return 0;
}
