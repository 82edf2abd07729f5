// SPDX-License-Identifier: MIT
// Text labels, drop-down lists and push buttons, numbered like the windows.
#include <QAbstractItemView>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "layer.h"
#include "ui.h"

using namespace ui_detail;

namespace {

class LayerButton : public QPushButton {
   public:
    using QPushButton::QPushButton;

   protected:
    void keyPressEvent(QKeyEvent* event) override {
        // Being the default button is a look only: Enter presses nothing.
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            event->ignore();
            return;
        }
        QPushButton::keyPressEvent(event);
    }
};

QWidget* parentForControls() {
    WindowEntry* entry = windowEntry(layer.currentWindow);
    return entry == nullptr ? nullptr : entry->widget.data();
}

}  // namespace

QWidget* ui_detail::adoptControl(int number, QWidget* widget, Kind kind, int x, int y, int width, int height) {
    if (number >= static_cast<int>(layer.controls.size())) layer.controls.resize(static_cast<size_t>(number) + 50);
    widget->setObjectName(QStringLiteral("control%1").arg(number));
    widget->setGeometry(x, y, width, height);
    widget->show();
    // The new control exists before the old one goes, so the number is never empty.
    if (ControlEntry* old = controlEntry(number)) {
        QWidget* previous = old->widget;
        releaseControl(number);
        delete previous;
    }
    ControlEntry& entry = layer.controls[static_cast<size_t>(number)];
    entry.widget = widget;
    entry.kind = kind;
    entry.window = layer.currentWindow;
    return widget;
}

intptr_t createText(int number, int x, int y, int width, int height, const char* caption) {
    QWidget* parent = parentForControls();
    if (parent == nullptr || number < 0) return 0;
    auto* label = new QLabel(text(caption), parent);
    // A device name is whatever its driver says; it is shown, never interpreted.
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    label->setFocusPolicy(Qt::NoFocus);
    return reinterpret_cast<intptr_t>(adoptControl(number, label, Kind::text, x, y, width, height));
}

intptr_t createComboBox(int number, int x, int y, int width, int height) {
    QWidget* parent = parentForControls();
    if (parent == nullptr || number < 0) return 0;
    auto* list = new QComboBox(parent);
    list->setEditable(false);
    list->setInsertPolicy(QComboBox::NoInsert);
    list->setFocusPolicy(Qt::StrongFocus);
    int window = layer.currentWindow;
    QObject::connect(list, &QComboBox::currentIndexChanged, [number, window](int) {
        if (!layer.changingList) raiseQueued({eventControlChanged, number, window, controlTypeSelectionChanged});
    });
    return reinterpret_cast<intptr_t>(adoptControl(number, list, Kind::list, x, y, width, height));
}

intptr_t createButton(int number, int x, int y, int width, int height, const char* caption, int flags) {
    QWidget* parent = parentForControls();
    if (parent == nullptr || number < 0) return 0;
    auto* button = new LayerButton(text(caption), parent);
    button->setAutoDefault(false);
    button->setDefault((flags & buttonDefault) != 0);
    button->setCheckable((flags & buttonToggle) != 0);
    button->setFocusPolicy(Qt::StrongFocus);
    // Its corners are filled with its window's colour by the button itself,
    // so that a new caption (Record counts the seconds) repaints the button
    // alone and not the window beneath it as well.
    button->setBackgroundRole(QPalette::Window);
    button->setAutoFillBackground(true);
    int window = layer.currentWindow;
    const auto clicked = [number, window] { raiseDirect({eventControlChanged, number, window, controlTypeClicked}); };
    // A toggle is also turned by a screen reader's toggle action, which
    // clicks nothing; what the application itself sets raises nothing.
    if (button->isCheckable())
        QObject::connect(button, &QPushButton::toggled, [clicked] {
            if (!layer.changingList) clicked();
        });
    else
        QObject::connect(button, &QPushButton::clicked, clicked);
    return reinterpret_cast<intptr_t>(adoptControl(number, button, Kind::button, x, y, width, height));
}

void setControlColor(int number, int attribute, Color color) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::text) return;
    QWidget* widget = entry->widget;
    if (attribute == colorText) {
        QPalette palette = widget->palette();
        const QPalette standard = QApplication::palette(widget);
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            if (color == noColor)
                palette.setColor(group, QPalette::WindowText, standard.color(group, QPalette::WindowText));
            else
                palette.setColor(group, QPalette::WindowText, qtColor(color));
        }
        widget->setPalette(palette);
    } else if (attribute == colorBackground) {
        paintBackground(widget, color);
    }
    widget->update();
}

namespace {

// An open list keeps the size it opened with: an item added meanwhile falls
// out of sight and can only be scrolled to, and one removed leaves an empty
// row. Opened again, it fits what it now holds, with the row the user had
// highlighted still highlighted.
void refitIfOpen(QComboBox* list) {
    QAbstractItemView* view = list->view();
    if (!view->isVisible()) return;
    const QModelIndex highlighted = view->currentIndex();
    list->hidePopup();
    list->showPopup();
    if (highlighted.isValid()) view->setCurrentIndex(highlighted);
}

}  // namespace

void addControlItem(int number, int position, const char* item) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::list || position < -1) return;
    auto* list = static_cast<QComboBox*>(entry->widget.data());
    int selected = list->currentIndex();
    layer.changingList = true;
    list->insertItem(position == -1 ? list->count() : position, text(item));
    // Adding items selects nothing by itself; only the user or setControlState does.
    if (selected == -1) list->setCurrentIndex(-1);
    refitIfOpen(list);
    layer.changingList = false;
}

void removeControlItem(int number, int position) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::list) return;
    auto* list = static_cast<QComboBox*>(entry->widget.data());
    if (position < 0 || position >= list->count()) return;
    const bool selected = list->currentIndex() == position;
    layer.changingList = true;
    list->removeItem(position);
    // Qt would select a neighbour; which item the list falls to is the
    // application's to say.
    if (selected) list->setCurrentIndex(-1);
    refitIfOpen(list);
    layer.changingList = false;
}

void setControlState(int number, int state) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::list) return;
    auto* list = static_cast<QComboBox*>(entry->widget.data());
    layer.changingList = true;
    list->setCurrentIndex(state >= 0 && state < list->count() ? state : -1);
    layer.changingList = false;
}

int getControlState(int number) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::list) return 0;
    return static_cast<QComboBox*>(entry->widget.data())->currentIndex();
}

void setControlItemData(int number, int item, int32_t value) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::list) return;
    auto* list = static_cast<QComboBox*>(entry->widget.data());
    if (item >= 0 && item < list->count()) list->setItemData(item, value);
}

int32_t getControlItemData(int number, int item) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::list) return 0;
    auto* list = static_cast<QComboBox*>(entry->widget.data());
    if (item < 0 || item >= list->count()) return -1;
    return list->itemData(item).toInt();
}

void enableControl(int number, bool enabled) {
    if (ControlEntry* entry = controlEntry(number)) entry->widget->setEnabled(enabled);
}

void setControlText(int number, const char* caption) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr) return;
    if (entry->kind == Kind::button) {
        static_cast<QPushButton*>(entry->widget.data())->setText(text(caption));
        restoreButtonKeys(entry->widget);
    } else if (entry->kind == Kind::text)
        static_cast<QLabel*>(entry->widget.data())->setText(text(caption));
}