// SPDX-License-Identifier: MIT
// Termination signals as close requests. They are held back from the
// program's first step until the handler is in place. The handler only notes
// the signal and wakes the event wait through a socket pair; everything else
// happens on the interface thread, where the layer's event loop reads the
// socket. A close box pressed while the program is busy without waiting
// (windows.cpp) is noted as such a signal.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <QDialog>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

#include "layer.h"
#include "ui.h"

using namespace ui_detail;

namespace {

// What the handler, which takes no context, shares with the interface
// thread: whether a signal (or a close box that counts as one) came, and
// the socket pair it wakes the wait by.
struct CloseSignal {
    std::atomic<bool> signalled{false};
    int wakeSockets[2] = {-1, -1};
};
CloseSignal closeSignal;
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Any thread, inside a signal handler: only async-signal-safe calls.
extern "C" void noteCloseSignal(int) {
    const int savedErrno = errno;
    closeSignal.signalled.store(true, std::memory_order_relaxed);
    const char wake = 1;
    // A full socket already holds a wake-up; losing this one changes nothing.
    ::send(closeSignal.wakeSockets[1], &wake, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = savedErrno;
}

// Interface thread: the signal acts as every window's close box. A box or
// dialog that is up is closed unanswered first, so that the request reaches
// the program's own event wait.
void deliverCloseSignal() {
    char drained[64];
    while (::recv(closeSignal.wakeSockets[0], drained, sizeof drained, MSG_DONTWAIT) > 0) {
    }
    for (size_t number = 0; number < layer.windows.size(); ++number)
        if (layer.windows[number].widget) {
            const int window = static_cast<int>(number);
            raiseQueued({eventCloseRequested, window, window, 0});
        }
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(window); dialog != nullptr && dialog->isVisible())
            dialog->done(QDialog::Rejected);
}

sigset_t terminationSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&held, number);
    return held;
}

}  // namespace

void holdTerminationSignals() {
    const sigset_t held = terminationSignals();
    ::pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

bool closeOnTerminationSignals() {
    // The socket that wakes the event wait comes first, where there is an
    // event wait, so that no signal finds it missing.
    if (layer.application != nullptr && closeSignal.wakeSockets[0] == -1) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, closeSignal.wakeSockets) != 0)
            return false;
        auto* notifier = new QSocketNotifier(closeSignal.wakeSockets[0], QSocketNotifier::Read, layer.application);
        QObject::connect(notifier, &QSocketNotifier::activated, deliverCloseSignal);
    }
    struct sigaction action {};
    action.sa_handler = noteCloseSignal;
    sigemptyset(&action.sa_mask);
    // Calls that a signal interrupts go on as if nothing happened: a save's
    // write must not fail for it.
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
    // A signal held back since the start is acted on now.
    const sigset_t held = terminationSignals();
    ::pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
    return true;
}

void ui_detail::closeAsSignalled() { closeSignal.signalled.store(true, std::memory_order_relaxed); }

bool closeRequested() { return closeSignal.signalled.load(std::memory_order_relaxed); }
