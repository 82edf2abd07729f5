// SPDX-License-Identifier: MIT
#include <cstdint>

#include "app_internal.h"
#include "ui.h"

namespace {

enum class Enabled : uint8_t { no, yes, asBefore };
struct ButtonRow {
    ButtonState state;
    Enabled record, stop, save, pause;
};

// The one table of which buttons each state leaves enabled. Pause works
// only on a take that runs or is held.
constexpr ButtonRow buttonTable[] = {
    {ButtonState::beforeAccept, Enabled::no, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::accepted, Enabled::yes, Enabled::yes, Enabled::yes, Enabled::no},
    {ButtonState::recording, Enabled::no, Enabled::yes, Enabled::no, Enabled::yes},
    {ButtonState::startingTake, Enabled::no, Enabled::asBefore, Enabled::asBefore, Enabled::no},
    {ButtonState::takeRefused, Enabled::no, Enabled::yes, Enabled::asBefore, Enabled::no},
    {ButtonState::takeNotBegun, Enabled::yes, Enabled::asBefore, Enabled::asBefore, Enabled::no},
    {ButtonState::stopped, Enabled::yes, Enabled::no, Enabled::yes, Enabled::no},
    {ButtonState::paused, Enabled::no, Enabled::yes, Enabled::no, Enabled::yes},
    {ButtonState::resumingTake, Enabled::no, Enabled::yes, Enabled::no, Enabled::no},
    {ButtonState::saving, Enabled::no, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::saved, Enabled::no, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::saveFailed, Enabled::yes, Enabled::no, Enabled::yes, Enabled::no},
};

void apply(int button, Enabled enabled) {
    if (enabled != Enabled::asBefore) enableControl(button, enabled == Enabled::yes);
}

}  // namespace

void showButtons(ButtonState state) {
    for (const ButtonRow& row : buttonTable) {
        if (row.state != state) continue;
        apply(RecordButton, row.record);
        apply(StopButton, row.stop);
        apply(SaveButton, row.save);
        apply(PauseButton, row.pause);
    }
}

void showPause(bool paused) {
    setControlText(PauseButton, paused ? "Resume" : "Pause");
    setButtonPressed(PauseButton, paused);
}

void showError(const std::string& text) { messageBox("Error", text.c_str(), boxOk); }
