// SPDX-License-Identifier: MIT
// What the files of the window layer share and no one else sees: the layer's
// one record of windows, controls and queued events, and the helpers that
// reach into it. Interface thread only, like the whole layer.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ui.h"

namespace ui_detail {

struct Event {
    int code = 0;
    int object = 0;
    int window = 0;
    int type = 0;
    bool operator==(const Event&) const = default;
};

struct WindowEntry {
    QPointer<QWidget> widget;
    std::string title;
    bool titlePending = false;
    std::map<int, QTimer*> timers;
};

enum class Kind { text, list, button, meter };

struct ControlEntry {
    QPointer<QWidget> widget;
    Kind kind = Kind::text;
    int window = 0;
};

using Clock = std::chrono::steady_clock;

struct Layer {
    QApplication* application = nullptr;
    bool ownsApplication = false;
    std::vector<WindowEntry> windows = std::vector<WindowEntry>(16);
    std::vector<ControlEntry> controls = std::vector<ControlEntry>(50);
    std::deque<Event> queue;
    Event last;
    bool waiting = false;
    int currentWindow = -1;
    // The layer itself changes a list's selection or a toggle's state:
    // no event is raised for it.
    bool changingList = false;
    Clock::time_point lastTitleHandover{};
    // While a title's hand-over lets the window system in (setWindowTitle).
    bool handingOverTitle = false;
    // What holds the computer awake (sleep.cpp), made at the first hold.
    QPointer<QObject> sleepClient;
};

extern Layer layer;

inline QString text(const char* bytes) { return QString::fromUtf8(bytes == nullptr ? "" : bytes); }

void raiseQueued(const Event& event);
// A close box pressed while the program works without waiting for events:
// the run ends as on a termination signal (close_signals.cpp).
void closeAsSignalled();
// Clicks and timer ticks exist only for the wait that sees them happen.
void raiseDirect(const Event& event);
WindowEntry* windowEntry(int number);
ControlEntry* controlEntry(int number);
// Hands the newest titles to the platform before the program stops for a box or a wait.
void handOverPendingTitles();
// Forgets a control's number and the events it queued.
void releaseControl(int number);
// Gives `widget` the control number, place and kind, in the current window;
// a control that held the number before goes once the new one stands.
QWidget* adoptControl(int number, QWidget* widget, Kind kind, int x, int y, int width, int height);
void paintBackground(QWidget* widget, Color color);
// The number of a window the layer opened, or -1 for any other widget.
int windowNumberOf(const QWidget* widget);
// Has screen readers told that the layer's windows are windows, named by
// their titles. Called once, before the first window opens.
void presentWindowsToScreenReaders();
// Gives a button back the keys setButtonKeys gave it, which Qt takes away
// whenever the button's text changes.
void restoreButtonKeys(QWidget* button);
QColor qtColor(Color color);
// The window a box or dialog belongs to.
QWidget* activeLayerWindow();

// Makes the program's QApplication on the platform that suits the session
// (platform.cpp). When none can start, says why in one line on standard
// error and ends the process with 1; it never returns null.
QApplication* startApplication(const std::function<void()>& beforeFailing);

}  // namespace ui_detail
