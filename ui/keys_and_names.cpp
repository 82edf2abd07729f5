// SPDX-License-Identifier: MIT
// Keys that press buttons, and what screen readers are told of a control
// beyond its text: what it does, and which caption names it.
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>

#include "layer.h"
#include "ui.h"

namespace ui_detail {

namespace {

// The keys setButtonKeys gave a button, kept on the button itself.
constexpr const char* keysProperty = "layerKeys";

}  // namespace

void restoreButtonKeys(QWidget* button) {
    const QVariant keys = button->property(keysProperty);
    if (keys.isValid()) static_cast<QPushButton*>(button)->setShortcut(keys.value<QKeySequence>());
}

}  // namespace ui_detail

using namespace ui_detail;

void setButtonKeys(int number, const char* keys) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::button) return;
    // The button's own shortcut: Qt matches it only while the button is
    // enabled and its window active, and answers it with an animated click
    // whose clicked signal is the mouse's. Screen readers are given the keys
    // as the binding of the button's press action.
    entry->widget->setProperty(keysProperty, QKeySequence(text(keys), QKeySequence::PortableText));
    restoreButtonKeys(entry->widget);
}

void setButtonPressed(int number, bool pressed) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::button) return;
    // What a click made it is the application's to say.
    layer.changingList = true;
    static_cast<QPushButton*>(entry->widget.data())->setChecked(pressed);
    layer.changingList = false;
}

void setControlDescription(int number, const char* description) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr) return;
    entry->widget->setToolTip(text(description));
    entry->widget->setAccessibleDescription(text(description));
}

void setControlCaption(int control, int caption) {
    ControlEntry* named = controlEntry(control);
    ControlEntry* label = controlEntry(caption);
    if (named == nullptr || label == nullptr || label->kind != Kind::text) return;
    // A list's own accessible name is its current item on Linux, as Qt and
    // GTK give it; screen readers announce it by the label its buddy
    // relation points them to.
    static_cast<QLabel*>(label->widget.data())->setBuddy(named->widget);
}
