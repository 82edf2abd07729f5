// SPDX-License-Identifier: MIT
// Timers for work only a visible window needs, such as redrawing a meter:
// they stop while their window is minimised or hidden, so that a recorder
// left in the background wakes no more often than its real work asks.
#include <QEvent>
#include <QWindow>

#include "layer.h"
#include "ui.h"
#include "ui_testing.h"

using namespace ui_detail;

namespace {

constexpr const char* watchName = "shownTimerWatch";

// Follows one window for one of its timers. A child of the timer, so it
// goes with it.
class ShownTimerWatch : public QObject {
   public:
    ShownTimerWatch(QWidget* window, QTimer* timer, int milliseconds)
        : QObject(timer), window_(window), timer_(timer), milliseconds_(milliseconds) {
        setObjectName(QString::fromLatin1(watchName));
        QObject::connect(timer, &QTimer::timeout, this, [this] { ++ticks; });
        window->installEventFilter(this);
        // On X11 a minimised window is unmapped and so no longer exposed:
        // the platform window tells that, the widget does not.
        if (QWindow* platformWindow = window->windowHandle()) platformWindow->installEventFilter(this);
    }

    void setInterval(int milliseconds) { milliseconds_ = milliseconds; }

    // Starts or stops the timer as the window now is.
    void follow() {
        QWindow* platformWindow = window_->windowHandle();
        const bool shown = window_->isVisible() && !window_->isMinimized() &&
                           (platformWindow == nullptr || platformWindow->isExposed());
        if (shown && (!timer_->isActive() || timer_->interval() != milliseconds_))
            timer_->start(milliseconds_);
        else if (!shown && timer_->isActive())
            timer_->stop();
    }

    int64_t ticks = 0;

   protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
            case QEvent::WinIdChange:
                // A new platform window: followed from now on.
                if (QWindow* platformWindow = window_->windowHandle()) platformWindow->installEventFilter(this);
                QMetaObject::invokeMethod(this, &ShownTimerWatch::follow, Qt::QueuedConnection);
                break;
            case QEvent::Show:
            case QEvent::Hide:
            case QEvent::WindowStateChange:
            case QEvent::Expose:
                // Judged once the window has taken the change in.
                QMetaObject::invokeMethod(this, &ShownTimerWatch::follow, Qt::QueuedConnection);
                break;
            default: break;
        }
        return false;
    }

   private:
    QWidget* window_;
    QTimer* timer_;
    int milliseconds_;
};

ShownTimerWatch* watchOf(QTimer* timer) {
    return static_cast<ShownTimerWatch*>(timer->findChild<QObject*>(QString::fromLatin1(watchName)));
}

QTimer* windowTimer(int window, int timer) {
    WindowEntry* entry = windowEntry(window);
    if (entry == nullptr) return nullptr;
    auto found = entry->timers.find(timer);
    return found == entry->timers.end() ? nullptr : found->second;
}

}  // namespace

int addShownWindowTimer(int window, int timer, int milliseconds) {
    const int added = addWindowTimer(window, timer, milliseconds);
    QTimer* qtimer = windowTimer(window, timer);
    if (added == 0 || qtimer == nullptr) return 0;
    ShownTimerWatch* watch = watchOf(qtimer);
    if (watch == nullptr)
        watch = new ShownTimerWatch(windowEntry(window)->widget, qtimer, milliseconds);
    else
        watch->setInterval(milliseconds);
    watch->follow();
    return added;
}

int64_t shownTimerTicks(int window, int timer) {
    QTimer* qtimer = windowTimer(window, timer);
    ShownTimerWatch* watch = qtimer == nullptr ? nullptr : watchOf(qtimer);
    return watch == nullptr ? 0 : watch->ticks;
}
