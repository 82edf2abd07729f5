// SPDX-License-Identifier: MIT
// Texts cut in the middle: a long device name shown whole would be cut at
// its end, where two sources of one maker differ, or wrap into a line the
// window half hides. Its beginning and its end stay in sight instead, and
// screen readers still read the whole of it.
#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QPaintEvent>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <algorithm>

#include "layer.h"
#include "ui.h"

using namespace ui_detail;

namespace {

// How much of a control its window shows: a control may run past the
// window's edge, which cuts it there.
int shownWidth(const QWidget* widget, int width) {
    const QWidget* window = widget->parentWidget();
    if (window == nullptr) return width;
    return std::max(0, std::min(width, window->width() - widget->x() - (widget->width() - width)));
}

// QComboBox's own description of how it looks, which it keeps to itself.
struct ListLook : QComboBox {
    static QStyleOptionComboBox of(const QComboBox* list) {
        QStyleOptionComboBox option;
        (list->*&ListLook::initStyleOption)(&option);
        return option;
    }
};

// Paints the control itself in place of Qt, with its text cut in the middle.
class CutInTheMiddle : public QObject {
   public:
    using QObject::QObject;

   protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint) return false;
        if (auto* label = qobject_cast<QLabel*>(watched)) {
            QPainter painter(label);
            const QRect room = label->contentsRect();
            const int width = shownWidth(label, room.width());
            const QString shown = label->fontMetrics().elidedText(label->text(), Qt::ElideMiddle, width);
            label->style()->drawItemText(&painter, room, static_cast<int>(label->alignment()), label->palette(),
                                         label->isEnabled(), shown, label->foregroundRole());
            return true;
        }
        if (auto* list = qobject_cast<QComboBox*>(watched)) {
            // As QComboBox paints itself, but for the text.
            QStylePainter painter(list);
            painter.setPen(list->palette().color(QPalette::Text));
            QStyleOptionComboBox option = ListLook::of(list);
            const QRect field =
                list->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list);
            option.currentText =
                list->fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, shownWidth(list, field.width()));
            painter.drawComplexControl(QStyle::CC_ComboBox, option);
            painter.drawControl(QStyle::CE_ComboBoxLabel, option);
            return true;
        }
        return false;
    }
};

}  // namespace

void cutTextInTheMiddle(int number) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || (entry->kind != Kind::text && entry->kind != Kind::list)) return;
    QWidget* widget = entry->widget;
    constexpr const char* cut = "ostrelleCutInTheMiddle";
    if (widget->property(cut).toBool()) return;
    widget->setProperty(cut, true);
    widget->installEventFilter(new CutInTheMiddle(widget));
    if (auto* list = qobject_cast<QComboBox*>(widget)) list->view()->setTextElideMode(Qt::ElideMiddle);
    widget->update();
}
