// SPDX-License-Identifier: MIT
// Windows (presented to screen readers as windows), the event wait, timers,
// message boxes, and the layer's start and end.
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTextBoundaryFinder>
#include <string>

#include "layer.h"
#include "ui.h"
#include "ui_testing.h"

namespace ui_detail {

Layer layer;

void raiseQueued(const Event& event) {
    if (!layer.queue.empty() && layer.queue.back() == event) return;
    layer.queue.push_back(event);
}

void raiseDirect(const Event& event) {
    if (layer.waiting) layer.queue.push_back(event);
}

void discardQueued(bool (*matches)(const Event&, int), int number) {
    std::erase_if(layer.queue, [&](const Event& event) { return matches(event, number); });
}

WindowEntry* windowEntry(int number) {
    if (number < 0 || number >= static_cast<int>(layer.windows.size())) return nullptr;
    WindowEntry& entry = layer.windows[static_cast<size_t>(number)];
    return entry.widget ? &entry : nullptr;
}

ControlEntry* controlEntry(int number) {
    if (number < 0 || number >= static_cast<int>(layer.controls.size())) return nullptr;
    ControlEntry& entry = layer.controls[static_cast<size_t>(number)];
    return entry.widget ? &entry : nullptr;
}

void handOverTitle(WindowEntry& entry) {
    entry.widget->setWindowTitle(QString::fromUtf8(entry.title));
    entry.titlePending = false;
    layer.lastTitleHandover = Clock::now();
}

void handOverPendingTitles() {
    for (WindowEntry& entry : layer.windows)
        if (entry.widget && entry.titlePending) handOverTitle(entry);
}

void releaseControl(int number) {
    ControlEntry& entry = layer.controls[static_cast<size_t>(number)];
    entry = ControlEntry{};
    discardQueued(
        [](const Event& event, int control) { return event.code == eventControlChanged && event.object == control; },
        number);
}

QColor qtColor(Color color) { return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF); }

void paintBackground(QWidget* widget, Color color) {
    QPalette palette = widget->palette();
    if (color == noColor) {
        palette.setBrush(QPalette::Window, QApplication::palette(widget).brush(QPalette::Window));
    } else {
        palette.setColor(QPalette::Window, qtColor(color));
    }
    widget->setAutoFillBackground(color != noColor);
    widget->setPalette(palette);
}

QWidget* activeLayerWindow() {
    QWidget* active = QApplication::activeWindow();
    if (active != nullptr && windowNumberOf(active) >= 0) return active;
    if (layer.currentWindow >= 0) {
        if (WindowEntry* entry = windowEntry(layer.currentWindow)) return entry->widget;
    }
    return nullptr;
}

int windowNumberOf(const QWidget* widget) {
    for (size_t number = 0; number < layer.windows.size(); ++number)
        if (layer.windows[number].widget == widget) return static_cast<int>(number);
    return -1;
}

// Qt presents a top-level widget of no class of its own as a client area
// (a "filler" on AT-SPI), which screen readers do not announce as a window.
QAccessibleInterface* layerWindowAccessible(const QString& className, QObject* object) {
    if (className != QLatin1String("QWidget") || !object->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (!widget->isWindow() || windowNumberOf(widget) < 0) return nullptr;
    return new QAccessibleWidget(widget, QAccessible::Window);
}

void presentWindowsToScreenReaders() { QAccessible::installFactory(layerWindowAccessible); }

class LayerWindow : public QWidget {
   public:
    explicit LayerWindow(int number) : number_(number) {}

   protected:
    void closeEvent(QCloseEvent* event) override {
        // Only the application closes its windows; the close box merely asks.
        event->ignore();
        if (layer.handingOverTitle) closeAsSignalled();
        raiseQueued({eventCloseRequested, number_, number_, 0});
    }

   private:
    int number_;
};

namespace {

// Often enough for a person to read a counter; rare enough that a title
// rewritten a million times costs the platform almost nothing.
constexpr auto titleInterval = std::chrono::milliseconds(40);

// Bits 0 to 3 and 28 of openWindow's flags are kept for options of the
// layer's own (this layer has none); they are never window styles.
constexpr uint32_t layerOptionBits = 0x1000000Fu;

}  // namespace

}  // namespace ui_detail

using namespace ui_detail;

void startLayer(const std::function<void()>& beforeFailing) {
    if (QApplication::instance() == nullptr) {
        layer.application = startApplication(beforeFailing);
        layer.ownsApplication = true;
    } else {
        layer.application = qobject_cast<QApplication*>(QApplication::instance());
    }
    Q_INIT_RESOURCE(ui);
    presentWindowsToScreenReaders();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/ostrelle/ostrelle.png")));
    QApplication::setApplicationName(QStringLiteral("Ostrelle"));
    QApplication::setDesktopFileName(QStringLiteral("org.pelvar.Ostrelle"));
}

void endLayer() {
    for (size_t number = 0; number < layer.windows.size(); ++number) closeWindow(static_cast<int>(number));
    layer.queue.clear();
    delete layer.sleepClient.data();
    if (layer.ownsApplication) delete layer.application;
    layer.application = nullptr;
    layer.ownsApplication = false;
}

intptr_t openWindow(int number, int x, int y, int width, int height, const char* title, uint32_t flags) {
    if (number < 0) return 0;
    closeWindow(number);
    if (number >= static_cast<int>(layer.windows.size())) layer.windows.resize(static_cast<size_t>(number) + 16);
    uint32_t style = flags & ~layerOptionBits;
    if (style == 0) style = styleCaption;

    auto* widget = new LayerWindow(number);
    widget->setObjectName(QStringLiteral("window%1").arg(number));
    Qt::WindowFlags windowFlags = Qt::Window | Qt::CustomizeWindowHint;
    if ((style & styleCaption) == styleCaption) windowFlags |= Qt::WindowTitleHint;
    if (style & styleSystemMenu) windowFlags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style & styleMinimizeBox) windowFlags |= Qt::WindowMinimizeButtonHint;
    if (style & styleMaximizeBox) windowFlags |= Qt::WindowMaximizeButtonHint;
    widget->setWindowFlags(windowFlags);
    if (style & styleSizingFrame)
        widget->resize(width, height);
    else
        widget->setFixedSize(width, height);
    widget->move(x, y);

    WindowEntry& entry = layer.windows[static_cast<size_t>(number)];
    entry.widget = widget;
    entry.title = title == nullptr ? "" : title;
    widget->setWindowTitle(QString::fromUtf8(entry.title));
    layer.currentWindow = number;
    widget->show();
    return reinterpret_cast<intptr_t>(widget);
}

void setWindowColor(int number, Color color) {
    if (WindowEntry* entry = windowEntry(number)) paintBackground(entry->widget, color);
}

void setWindowTitle(int number, const char* text) {
    WindowEntry* entry = windowEntry(number);
    if (entry == nullptr || text == nullptr) return;
    entry->title = text;
    entry->titlePending = true;
    if (Clock::now() - layer.lastTitleHandover < titleInterval) return;
    handOverTitle(*entry);
    // Whoever rewrites the title without waiting for events (the save, for
    // seconds on end) lets the window system in here, so the window still
    // answers its pings and repaints, and a close box pressed meanwhile
    // stops the work rather than waiting for its end and the boxes after it
    // (X counts the close box among user input). Timer ticks stay queued for
    // the next wait.
    layer.handingOverTitle = true;
    QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
    layer.handingOverTitle = false;
}

std::string windowTitle(int number) {
    WindowEntry* entry = windowEntry(number);
    return entry == nullptr ? std::string() : entry->title;
}

void closeWindow(int number) {
    WindowEntry* entry = windowEntry(number);
    if (entry == nullptr) return;
    for (size_t control = 0; control < layer.controls.size(); ++control)
        if (layer.controls[control].widget && layer.controls[control].window == number)
            releaseControl(static_cast<int>(control));
    for (auto& [timer, qtimer] : entry->timers) qtimer->stop();
    delete entry->widget.data();
    *entry = WindowEntry{};
    discardQueued([](const Event& event, int window) { return event.window == window; }, number);
    if (layer.currentWindow == number) layer.currentWindow = -1;
}

int addWindowTimer(int window, int timer, int milliseconds) {
    WindowEntry* entry = windowEntry(window);
    if (entry == nullptr) return 0;
    QTimer*& qtimer = entry->timers[timer];
    if (qtimer == nullptr) {
        qtimer = new QTimer(entry->widget);
        QObject::connect(qtimer, &QTimer::timeout, [timer, window] {
            raiseDirect({eventTimerTick, timer, window, -1});
        });
    }
    qtimer->start(milliseconds);
    // Non-zero on success, whatever the timer number.
    return timer == 0 ? 1 : timer;
}

namespace {

// A click queued behind other events of the same batch meets its button only
// after they were handled; when one of them disabled it, the click is one the
// user could not have made, and is dropped.
bool clickOnDisabledButton(const Event& event) {
    if (event.code != eventControlChanged || event.type != controlTypeClicked) return false;
    ControlEntry* entry = controlEntry(event.object);
    return entry == nullptr || (entry->kind == Kind::button && !entry->widget->isEnabled());
}

}  // namespace

int waitWindowEvent() {
    handOverPendingTitles();
    for (;;) {
        while (layer.queue.empty()) {
            layer.waiting = true;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            layer.waiting = false;
        }
        Event next = layer.queue.front();
        layer.queue.pop_front();
        if (clickOnDisabledButton(next)) continue;
        layer.last = next;
        return layer.last.code;
    }
}

int eventControl() { return layer.last.object; }
int eventTimer() { return layer.last.object; }
int eventType() { return layer.last.type; }

namespace {

// A name longer than a line has nowhere to wrap, and would make the box wider
// than the screen; a zero-width space every so many characters gives it
// places to. Spaces and slashes are places already.
QString withPlacesToWrap(const QString& text) {
    constexpr int longestUnbroken = 40;
    QString wrapped;
    int run = 0;
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype start = 0, end = characters.toNextBoundary(); end != -1;
         start = end, end = characters.toNextBoundary()) {
        const QStringView character = QStringView(text).mid(start, end - start);
        if (character.front().isSpace()) {
            run = 0;
        } else if (++run > longestUnbroken) {
            wrapped += QChar(0x200B);
            run = 1;
        }
        wrapped += character;
        if (character == u"/") run = 0;
    }
    return wrapped;
}

}  // namespace

int messageBox(const char* title, const char* message, int flags) {
    if (layer.application == nullptr || closeRequested()) return 0;
    handOverPendingTitles();
    QString body = text(message);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    body.replace(QChar('\r'), QChar('\n'));
    QMessageBox box(activeLayerWindow());
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(text(title));
    box.setTextFormat(Qt::PlainText);
    box.setText(withPlacesToWrap(body));
    box.setWindowModality(Qt::ApplicationModal);
    if (flags == boxYesNoCancel) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::Cancel);
    } else if (flags == boxYesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
    }
    switch (box.exec()) {
        case QMessageBox::Yes: return answerYes;
        case QMessageBox::No: return answerNo;
        case QMessageBox::Cancel: return answerCancel;
        case QMessageBox::Ok: return answerOk;
        default: return flags == boxYesNoCancel ? answerCancel : flags == boxYesNo ? answerNo : answerOk;
    }
}
