// SPDX-License-Identifier: MIT
#include <cstdint>

#include "app_internal.h"
#include "ui.h"

namespace {

enum class Enabled : uint8_t { no, yes, asBefore };
struct ButtonRow {
    ButtonState state;
    Enabled record, stop, save;
};

// The one table of which buttons each state leaves enabled.
constexpr ButtonRow buttonTable[] = {
    {ButtonState::beforeAccept, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::accepted, Enabled::yes, Enabled::yes, Enabled::yes},
    {ButtonState::recording, Enabled::no, Enabled::yes, Enabled::no},
    {ButtonState::startingTake, Enabled::no, Enabled::asBefore, Enabled::asBefore},
    {ButtonState::takeRefused, Enabled::no, Enabled::yes, Enabled::asBefore},
    {ButtonState::takeNotBegun, Enabled::yes, Enabled::asBefore, Enabled::asBefore},
    {ButtonState::stopped, Enabled::yes, Enabled::no, Enabled::yes},
    {ButtonState::saving, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::saved, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::saveFailed, Enabled::yes, Enabled::no, Enabled::yes},
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
    }
}

void showError(const std::string& text) { messageBox("Error", text.c_str(), boxOk); }
