// SPDX-License-Identifier: MIT
// Keys for Record, Stop, Save and Pause, and the captions that name the lists for
// screen readers.
#include <string>

#include "app_internal.h"
#include "ui.h"

namespace {

// Ctrl+S saves, as in every program, and is Qt's standard key for Save and
// nothing else. Every letter of "Record" and "Stop" is taken with Ctrl alone
// by Qt's standard keys (QKeySequence::keyBindings) under the generic X11,
// GNOME or KDE scheme that Qt follows here: Ctrl+R is Refresh under GNOME and
// Replace under KDE; Ctrl+E, C, O, D, T and P are MoveToEndOfLine, Copy,
// Open, Delete, AddTab and Print under all three. With Shift as well,
// Ctrl+Shift+R and Ctrl+Shift+T are bound under none of them, so Record and
// Stop take those: R for Record, T for Stop, whose S is Save's.
struct ButtonKeys {
    int button;
    const char* keys;
    const char* does;
};
constexpr ButtonKeys buttonKeys[] = {
    {RecordButton, "Ctrl+Shift+R", "Starts a take"},
    {StopButton, "Ctrl+Shift+T", "Ends the take"},
    {SaveButton, "Ctrl+S", "Saves the take as a WAV file"},
    // P for Pause, bound with Ctrl and Shift under none of those schemes.
    {PauseButton, "Ctrl+Shift+P", "Holds the take, or goes on with it"},
};

struct Caption {
    int list, caption;
};
constexpr Caption captions[] = {
    {ChannelsList, ChannelsCaption},
    {BitsList, BitsCaption},
    {RateList, RateCaption},
    {DeviceList, DeviceCaption},
};

}  // namespace

void giveKeysAndNames() {
    for (const ButtonKeys& row : buttonKeys) {
        setButtonKeys(row.button, row.keys);
        setControlDescription(row.button, (std::string(row.does) + " (" + row.keys + ")").c_str());
    }
    for (const Caption& row : captions) setControlCaption(row.list, row.caption);
}
