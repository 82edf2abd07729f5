// SPDX-License-Identifier: MIT
// Wake-ups from other threads: a byte sent on a socket pair that the event
// loop watches, so that nothing of Qt is touched off the interface thread.
// The sockets stay open until the process ends, so that a thread that wakes
// late, even after the layer ended, writes to nothing that was reused.
#include <sys/socket.h>

#include <QSocketNotifier>

#include "layer.h"
#include "ui.h"

using namespace ui_detail;

int makeWakeChannel() {
    int sockets[2] = {-1, -1};
    if (layer.application == nullptr ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets) != 0)
        return -1;
    auto* notifier = new QSocketNotifier(sockets[0], QSocketNotifier::Read, layer.application);
    const int reading = sockets[0];
    QObject::connect(notifier, &QSocketNotifier::activated, [reading] {
        char drained[64];
        while (::recv(reading, drained, sizeof drained, MSG_DONTWAIT) > 0) {
        }
        raiseQueued({eventWoken, 0, 0, 0});
    });
    return sockets[1];
}

void wakeEventWait(int channel) {
    if (channel < 0) return;
    const char wake = 1;
    // A full socket already holds a wake-up; losing this one changes nothing.
    ::send(channel, &wake, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}
