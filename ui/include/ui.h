// SPDX-License-Identifier: MIT
// The window layer: windows, controls and timers named by small integers,
// one blocking call that returns the next event as a code, and modal boxes
// and dialogs as single calls returning plain values.
//
// Threads: everything here runs on the one thread that called startLayer().
// Numbers that name nothing make an operation do nothing and return 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Colours are 0x00BBGGRR; noColor means the system colours apply.
using Color = int32_t;
constexpr Color noColor = -1;
constexpr Color rgb(int red, int green, int blue) { return red + 256 * green + 65536 * blue; }

// Event codes the application acts on.
enum EventCode : int {
    eventCloseRequested = 16,
    eventControlChanged = 13100,
    eventTimerTick = 13110,
    // The computer is about to sleep, and has woken (see holdSleep).
    eventSleepComing = 13120,
    eventWokeUp = 13121,
    // Another thread woke the wait (wakeEventWait).
    eventWoken = 13130,
};
// `type` of a control event: a click on a button, a user's change of list selection.
constexpr int controlTypeClicked = 0;
constexpr int controlTypeSelectionChanged = 768;

// Window style bits as the application passes them in openWindow's flags.
constexpr uint32_t stylePopup = 0x80000000u;
constexpr uint32_t styleCaption = 0x00C00000u;
constexpr uint32_t styleSystemMenu = 0x00080000u;
constexpr uint32_t styleMinimizeBox = 0x00020000u;
constexpr uint32_t styleMaximizeBox = 0x00010000u;
constexpr uint32_t styleSizingFrame = 0x00040000u;
// A top-level window of fixed size with a title bar, a close box and a
// minimise box, placed where it is asked to be: the recorder's own.
constexpr uint32_t styleFixedWindow = stylePopup | styleCaption | styleSystemMenu | styleMinimizeBox;

// Message box flags and answers.
constexpr int boxOk = 0;
constexpr int boxYesNoCancel = 3;
constexpr int boxYesNo = 4;
enum BoxAnswer : int { answerOk = 1, answerCancel = 2, answerYes = 6, answerNo = 7 };

// Button flags: drawn as the default button; a toggle, which stays pressed
// or not as setButtonPressed says, and which screen readers call a toggle.
constexpr int buttonDefault = 1;
constexpr int buttonToggle = 2;

// Called once each, first and last. endLayer closes the windows still open
// and ends the application the layer made; what else the program holds open
// (its files) is its own to close. Where no display can be opened,
// startLayer ends the program with one line on stderr, after running
// `beforeFailing` (what must be finished for that line to reach it).
void startLayer(const std::function<void()>& beforeFailing = {});
void endLayer();
// Before the program starts a thread: sets what Qt reads from the
// environment as the layer starts, so that nothing is added to the
// environment while other threads may read it. startLayer does it too.
void readyLayerEnvironment();

// x, y place the outer window; width, height are the client area. Replaces a
// window already open under the number. Returns non-zero on success.
intptr_t openWindow(int number, int x, int y, int width, int height, const char* title, uint32_t flags);
void setWindowColor(int number, Color color);
// The layer holds the newest title at once; the platform window may receive
// it a little later (at most about 40 ms, and always before the next wait or box).
// At each hand-over the window system's own requests are answered (pings,
// repaints), and user input is taken as any input while no wait runs (a
// click is lost); timer ticks and the application's events wait. A close
// box pressed then acts as a termination signal (closeOnTerminationSignals):
// whoever rewrites the title without waiting is busy with work that would
// otherwise meet the request only once it is done.
void setWindowTitle(int number, const char* text);
void closeWindow(int number);
int addWindowTimer(int window, int timer, int milliseconds);
// As addWindowTimer, for work only a visible window needs: the timer stops
// while the window is minimised or hidden, and starts again when it shows.
int addShownWindowTimer(int window, int timer, int milliseconds);

// Blocks until an event, then returns its code. Events come first in, first out;
// clicks and timer ticks that happen while no wait is running are lost. A click
// queued behind other events is dropped when its button was disabled since, so
// each click meets the buttons as the events before it left them.
int waitWindowEvent();
int eventControl();
int eventTimer();

// The program's first step: SIGTERM, SIGINT and SIGHUP wait (are held
// back) until closeOnTerminationSignals, so that one that comes while the
// program starts is acted on as the close box once it can be, rather than
// ending the process. Threads started meanwhile keep them held back for
// good, so that they reach a thread that acts on them. Needs no layer.
void holdTerminationSignals();
// From now on SIGTERM, SIGINT and SIGHUP (a logout, a closed terminal,
// Ctrl+C) act as the close box of every open window: a box or dialog that
// is up closes unanswered, and the next wait returns the close request.
// Boxes and dialogs asked for afterwards are not shown (messageBox returns 0,
// saveFileDialog the empty text). Signals held back so far come through
// now. Without the layer (no startLayer) only closeRequested() tells of
// them. False when the signals could not be had.
bool closeOnTerminationSignals();
// True once such a signal arrived, or a close box was pressed at a title's
// hand-over (setWindowTitle). Work that runs long without waiting for
// events checks it to stop early. Safe on any thread.
bool closeRequested();

// Keeping the computer awake while work runs that a sleep would spoil. A
// hold asks logind on the system bus, or where it does not answer the
// desktop portal on the session bus, that the computer neither sleeps nor
// idles into sleep; `why` is what the desktop shows. Where neither answers
// a hold does nothing. A new hold replaces the one before; releaseSleep()
// lets go (and so does endLayer). Neither call waits on a bus: the services
// answer during later event waits.
// A sleep the user forces (a closed lid, a suspend that ignores holds) still
// comes. An announced hold holds it off a few seconds, until releaseSleep():
// from the first announced hold on, each such sleep makes a wait return
// eventSleepComing before it and eventWokeUp after it (logind only).
enum class ForcedSleep { unannounced, announced };
void holdSleep(const char* why, ForcedSleep forced = ForcedSleep::unannounced);
void releaseSleep();

// Wake-ups from other threads. Interface thread: makes a channel for them
// and returns its number, -1 when none could be had. Any thread, even after
// the layer has ended: wakeEventWait(channel) makes the interface thread's
// next event wait return eventWoken (wake-ups that pile up before it may
// come as one); never blocks.
int makeWakeChannel();
void wakeEventWait(int channel);

// Modal over every window of the program. Returns the answer, 0 when no box could be shown.
// A carriage return in the text starts a new line.
int messageBox(const char* title, const char* text, int flags = boxOk);

// Controls are made in the window opened most recently, at client coordinates.
intptr_t createText(int number, int x, int y, int width, int height, const char* text);
intptr_t createComboBox(int number, int x, int y, int width, int height);
intptr_t createButton(int number, int x, int y, int width, int height, const char* text, int flags = 0);
// Text controls only: attribute 1 the text colour, 2 the background.
constexpr int colorText = 1;
constexpr int colorBackground = 2;
void setControlColor(int number, int attribute, Color color);
// position -1 appends; 0 and up insert before that item; below -1 is ignored.
void addControlItem(int number, int position, const char* text);
// Removes the item at `position`, and with it its data. Removing the
// selected item leaves none selected; like setControlState, it raises no event.
void removeControlItem(int number, int position);
void setControlState(int number, int state);
int getControlState(int number);
void setControlItemData(int number, int item, int32_t value);
int32_t getControlItemData(int number, int item);
// A disabled control takes no clicks and no keys.
void enableControl(int number, bool enabled);
void setControlText(int number, const char* text);

// A text control or a list shows its text on one line, cut in the middle
// ("Monitor of Built-in…Analog Stereo") where the control, or the window
// that cuts the control, has no room for all of it, so that both its ends
// show. Screen readers still read the whole text; setControlDescription can
// show it as the tooltip.
void cutTextInTheMiddle(int number);

// Buttons only: these keys (Qt's portable text, such as "Ctrl+S") press the
// button wherever the focus is in its window. The click reaches the wait as a
// mouse click's does, and the keys do nothing while the button is disabled.
// The button keeps them whatever its text; the empty text takes them away.
void setButtonKeys(int number, const char* keys);
// A toggle button shows pressed or not, and screen readers hear it so; this
// raises no event.
void setButtonPressed(int number, bool pressed);
// What the control does: shown as its tooltip, and read out by screen
// readers as its description.
void setControlDescription(int number, const char* text);
// Ties the text control `caption` to `control`, which screen readers then
// announce by the caption's text.
void setControlCaption(int control, int caption);
// A level meter: a bar per channel on a -60 to 0 dBFS scale drawn in
// proportion to dB (green, yellow from -18 dBFS, red from -6 dBFS), a
// peak-hold mark on each, and a clip lamp at its right end. It takes no
// focus and no clicks, and draws nothing until it is given a reading.
// Screen readers find it under `name`.
intptr_t createMeter(int number, int x, int y, int width, int height, const char* name);
struct MeterReading {
    // Bars drawn: 0 (none), 1 or 2.
    int channelCount = 0;
    // Per channel, where its bar ends and where its peak-hold mark stands,
    // in dBFS; below -60 there is no bar, no mark.
    double levelDb[2] = {-100, -100};
    double holdDb[2] = {-100, -100};
    // Above 0, the lamp is red and shows the count.
    int64_t clips = 0;
    // When not empty, shown in place of the bars.
    const char* message = nullptr;
};
// Redraws only what changed since the last reading.
void showMeterReading(int number, const MeterReading& reading);
// What screen readers read as the meter's value.
void setMeterValueText(int number, const char* text);

// The pattern is "shown|matched" pairs separated by "|". Returns the chosen
// path, or the empty text when cancelled, and where `chosenPattern` is given
// the index of the pair selected when the dialog was accepted. Asks nothing
// about existing files and adds no extension; the current directory stays
// as it is.
std::string saveFileDialog(const char* title, const char* defaultPath, const char* pattern, int patternIndex,
                           int* chosenPattern = nullptr);
