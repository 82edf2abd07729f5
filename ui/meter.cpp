// SPDX-License-Identifier: MIT
// The level meter: bars on a dBFS scale, peak-hold marks and a clip lamp,
// drawn from the plain values the application hands it, and read by
// screen readers through an accessible object of its own.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "layer.h"
#include "ui.h"

using namespace ui_detail;

namespace {

constexpr double lowestDb = -60.0;
constexpr double yellowFromDb = -18.0;
constexpr double redFromDb = -6.0;
// The lamp's width at the meter's right end, and the room left of it.
constexpr int lampWidth = 40;
constexpr int lampGap = 12;
// Rows kept above and below the bars for the scale's ticks.
constexpr int tickRows = 2;
constexpr int barGap = 2;

const QColor lit[] = {QColor(0, 210, 80), QColor(235, 210, 0), QColor(235, 35, 35)};
const QColor unlit[] = {QColor(0, 40, 16), QColor(44, 40, 0), QColor(48, 8, 8)};
const QColor tickColor(96, 96, 96);
const QColor lampOff(64, 0, 0);
const QColor lampOn(235, 35, 35);
const QColor messageColor(0, 255, 128);

// What is drawn, in pixels: readings that round to the same pixels
// redraw nothing.
struct Drawn {
    int channels = 0;
    int end[2] = {0, 0};
    int hold[2] = {0, 0};
    int64_t clips = 0;
    QString message;
};

class MeterWidget : public QWidget {
   public:
    explicit MeterWidget(QWidget* parent) : QWidget(parent) {
        // Every pixel is painted here, so nothing beneath is painted first.
        setAttribute(Qt::WA_OpaquePaintEvent);
        setFocusPolicy(Qt::NoFocus);
    }

    void showReading(const MeterReading& reading) {
        Drawn next;
        next.channels = std::clamp(reading.channelCount, 0, 2);
        for (int channel = 0; channel < next.channels; ++channel) {
            next.end[channel] = position(reading.levelDb[channel]);
            next.hold[channel] = position(reading.holdDb[channel]);
        }
        next.clips = reading.clips;
        next.message = reading.message == nullptr ? QString() : QString::fromUtf8(reading.message);
        if (next.channels != drawn_.channels || next.message != drawn_.message) {
            drawn_ = next;
            update();
            return;
        }
        if (next.clips != drawn_.clips) update(lampRectangle());
        if (next.message.isEmpty())
            for (int channel = 0; channel < next.channels; ++channel) {
                updateBetween(channel, drawn_.end[channel], next.end[channel]);
                updateBetween(channel, drawn_.hold[channel], next.hold[channel]);
            }
        drawn_ = next;
    }

    QString valueText;

   protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::black);
        if (drawn_.channels == 0) return;
        paintTicks(painter);
        paintLamp(painter);
        if (!drawn_.message.isEmpty()) {
            painter.setPen(messageColor);
            painter.drawText(QRect(4, 0, scaleWidth(), height()), Qt::AlignLeft | Qt::AlignVCenter, drawn_.message);
            return;
        }
        for (int channel = 0; channel < drawn_.channels; ++channel) paintBar(painter, channel);
    }

   private:
    int scaleWidth() const { return std::max(width() - lampWidth - lampGap, 1); }
    QRect lampRectangle() const { return {width() - lampWidth, 0, lampWidth, height()}; }
    QRect barRows(int channel) const {
        const int rows = height() - 2 * tickRows;
        const int barHeight = (rows - barGap * (drawn_.channels - 1)) / std::max(drawn_.channels, 1);
        return {0, tickRows + channel * (barHeight + barGap), scaleWidth(), barHeight};
    }
    // The pixel column where a level ends: -60 dBFS at the left edge, 0 at
    // the scale's right end, in proportion to dB. Below -60, nothing.
    int position(double db) const {
        if (!(db >= lowestDb)) return 0;
        const double share = (std::min(db, 0.0) - lowestDb) / -lowestDb;
        return static_cast<int>(std::lround(share * scaleWidth()));
    }
    int zoneAt(int column) const {
        if (column >= position(redFromDb)) return 2;
        return column >= position(yellowFromDb) ? 1 : 0;
    }
    void updateBetween(int channel, int from, int to) {
        if (from == to) return;
        const QRect rows = barRows(channel);
        // The hold mark stands in the two columns left of its position.
        const int left = std::min(from, to) - 2;
        update(QRect(left, rows.top(), std::abs(to - from) + 3, rows.height()));
    }

    // The zones' colours along a stretch of columns of one bar.
    void paintStretch(QPainter& painter, const QRect& rows, int from, int to, const QColor (&colors)[3]) {
        const int bounds[] = {0, position(yellowFromDb), position(redFromDb), scaleWidth()};
        for (int zone = 0; zone < 3; ++zone) {
            const int left = std::max(from, bounds[zone]), right = std::min(to, bounds[zone + 1]);
            if (left < right) painter.fillRect(QRect(left, rows.top(), right - left, rows.height()), colors[zone]);
        }
    }

    void paintBar(QPainter& painter, int channel) {
        const QRect rows = barRows(channel);
        const int end = drawn_.end[channel], hold = drawn_.hold[channel];
        paintStretch(painter, rows, 0, end, lit);
        paintStretch(painter, rows, end, scaleWidth(), unlit);
        if (hold > end) painter.fillRect(QRect(hold - 2, rows.top(), 2, rows.height()), lit[zoneAt(hold - 1)]);
    }

    void paintTicks(QPainter& painter) {
        for (double db = lowestDb; db <= 0; db += 10) {
            const int column = std::min(position(db), scaleWidth() - 1);
            painter.fillRect(QRect(column, 0, 1, tickRows), tickColor);
            painter.fillRect(QRect(column, height() - tickRows, 1, tickRows), tickColor);
        }
    }

    void paintLamp(QPainter& painter) {
        const QRect lamp = lampRectangle().adjusted(1, tickRows, -1, -tickRows);
        painter.fillRect(lamp, drawn_.clips > 0 ? lampOn : lampOff);
        if (drawn_.clips <= 0) return;
        painter.setPen(Qt::white);
        const QString count = drawn_.clips > 999 ? QStringLiteral("999+") : QString::number(drawn_.clips);
        painter.drawText(lamp, Qt::AlignCenter, count);
    }

    Drawn drawn_;
};

class MeterAccessible : public QAccessibleWidget {
   public:
    explicit MeterAccessible(MeterWidget* meter) : QAccessibleWidget(meter, QAccessible::ProgressBar) {}
    // The value is given as the description too, which is what AT-SPI
    // carries to screen readers for an object without a number behind it.
    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Value || kind == QAccessible::Description)
            return static_cast<const MeterWidget*>(widget())->valueText;
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* meterAccessible(const QString&, QObject* object) {
    auto* meter = dynamic_cast<MeterWidget*>(object);
    return meter == nullptr ? nullptr : new MeterAccessible(meter);
}

MeterWidget* meterEntry(int number) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::meter) return nullptr;
    return static_cast<MeterWidget*>(entry->widget.data());
}

}  // namespace

intptr_t createMeter(int number, int x, int y, int width, int height, const char* name) {
    WindowEntry* window = windowEntry(layer.currentWindow);
    if (window == nullptr || number < 0) return 0;
    // Once, before any meter is asked for its accessible object.
    static const bool factoryInstalled = (QAccessible::installFactory(meterAccessible), true);
    (void)factoryInstalled;
    auto* meter = new MeterWidget(window->widget);
    meter->setAccessibleName(text(name));
    return reinterpret_cast<intptr_t>(adoptControl(number, meter, Kind::meter, x, y, width, height));
}

void showMeterReading(int number, const MeterReading& reading) {
    if (MeterWidget* meter = meterEntry(number)) meter->showReading(reading);
}

void setMeterValueText(int number, const char* value) {
    MeterWidget* meter = meterEntry(number);
    if (meter == nullptr) return;
    const QString next = text(value);
    if (next == meter->valueText) return;
    meter->valueText = next;
    QAccessibleEvent changed(meter, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&changed);
}
