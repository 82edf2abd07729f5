// SPDX-License-Identifier: MIT
#include "ui.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <vector>

#include "files.h"

namespace {

struct Event {
    int code = 0;
    int object = 0;
    int window = 0;
    int type = 0;
    bool operator==(const Event&) const = default;
};

class LayerWindow;

struct WindowEntry {
    QPointer<LayerWindow> widget;
    std::string title;
    bool titlePending = false;
    std::map<int, QTimer*> timers;
};

enum class Kind { text, list, button };

struct ControlEntry {
    QPointer<QWidget> widget;
    Kind kind = Kind::text;
    Color textColor = noColor;
    Color backgroundColor = noColor;
    int window = 0;
};

using Clock = std::chrono::steady_clock;
// Often enough for a person to read a counter; rare enough that a title
// rewritten a million times costs the platform almost nothing.
constexpr auto titleInterval = std::chrono::milliseconds(40);

struct Layer {
    QApplication* application = nullptr;
    bool ownsApplication = false;
    std::vector<WindowEntry> windows = std::vector<WindowEntry>(16);
    std::vector<ControlEntry> controls = std::vector<ControlEntry>(50);
    std::deque<Event> queue;
    Event last;
    bool waiting = false;
    int currentWindow = -1;
    bool changingList = false;
    Clock::time_point lastTitleHandover{};
};

Layer layer;

int argumentCount = 1;
char programName[] = "ostrelle";
char* arguments[] = {programName, nullptr};

QString text(const char* bytes) { return QString::fromUtf8(bytes == nullptr ? "" : bytes); }

void raiseQueued(const Event& event) {
    if (!layer.queue.empty() && layer.queue.back() == event) return;
    layer.queue.push_back(event);
}

// Clicks and timer ticks exist only for the wait that sees them happen.
void raiseDirect(const Event& event) {
    if (layer.waiting) layer.queue.push_back(event);
}

void discardQueued(bool (*matches)(const Event&, int), int number) {
    std::erase_if(layer.queue, [&](const Event& event) { return matches(event, number); });
}

int windowNumberOf(const QWidget* widget);

class LayerWindow : public QWidget {
public:
    explicit LayerWindow(int number) : number_(number) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        // Only the application closes its windows; the close box merely asks.
        event->ignore();
        raiseQueued({eventCloseRequested, number_, number_, 0});
    }

private:
    int number_;
};

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
    discardQueued([](const Event& event, int control) { return event.code == eventControlChanged && event.object == control; },
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

template <typename Widget>
Widget* adoptControl(int number, Widget* widget, Kind kind, int x, int y, int width, int height) {
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

QWidget* parentForControls() {
    WindowEntry* entry = windowEntry(layer.currentWindow);
    return entry == nullptr ? nullptr : entry->widget.data();
}

// Qt ends the process with an abort when it finds no display to open; the
// user is told which variable was read instead, in one line.
[[noreturn]] void reportNoDisplay() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    const bool hasWayland = wayland != nullptr && *wayland != '\0';
    const bool hasX11 = x11 != nullptr && *x11 != '\0';
    if (!hasWayland && !hasX11)
        std::fprintf(stderr, "ostrelle: needs a graphical display, but neither DISPLAY nor WAYLAND_DISPLAY is set\n");
    else
        std::fprintf(stderr, "ostrelle: needs a graphical display, but the one %s names (%s) could not be opened\n",
                     hasX11 ? "DISPLAY" : "WAYLAND_DISPLAY", hasX11 ? x11 : wayland);
    std::_Exit(1);
}

void fatalWhileStarting(QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type == QtFatalMsg) reportNoDisplay();
}

}  // namespace

void startLayer() {
    if (QApplication::instance() == nullptr) {
        QtMessageHandler previous = qInstallMessageHandler(fatalWhileStarting);
        layer.application = new QApplication(argumentCount, arguments);
        qInstallMessageHandler(previous);
        layer.ownsApplication = true;
    } else {
        layer.application = qobject_cast<QApplication*>(QApplication::instance());
    }
    Q_INIT_RESOURCE(ui);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/ostrelle/ostrelle.png")));
    QApplication::setApplicationName(QStringLiteral("Ostrelle"));
    QApplication::setDesktopFileName(QStringLiteral("org.pelvar.Ostrelle"));
}

void endLayer() {
    for (size_t number = 0; number < layer.windows.size(); ++number) closeWindow(static_cast<int>(number));
    closeAllFiles();
    layer.queue.clear();
    if (layer.ownsApplication) delete layer.application;
    layer.application = nullptr;
    layer.ownsApplication = false;
}

intptr_t openWindow(int number, int x, int y, int width, int height, const char* title, uint32_t flags) {
    if (number < 0) return 0;
    closeWindow(number);
    if (number >= static_cast<int>(layer.windows.size())) layer.windows.resize(static_cast<size_t>(number) + 16);
    uint32_t style = flags & ~0x1000000Fu;
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
    if (Clock::now() - layer.lastTitleHandover >= titleInterval) handOverTitle(*entry);
}

std::string windowTitle(int number) {
    WindowEntry* entry = windowEntry(number);
    return entry == nullptr ? std::string() : entry->title;
}

void closeWindow(int number) {
    WindowEntry* entry = windowEntry(number);
    if (entry == nullptr) return;
    for (size_t control = 0; control < layer.controls.size(); ++control)
        if (layer.controls[control].widget && layer.controls[control].window == number) releaseControl(static_cast<int>(control));
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
        QObject::connect(qtimer, &QTimer::timeout, [timer, window] { raiseDirect({eventTimerTick, timer, window, -1}); });
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

int messageBox(const char* title, const char* message, int flags) {
    if (layer.application == nullptr) return 0;
    handOverPendingTitles();
    QString body = text(message);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    body.replace(QChar('\r'), QChar('\n'));
    QMessageBox box(activeLayerWindow());
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(text(title));
    box.setTextFormat(Qt::PlainText);
    box.setText(body);
    box.setWindowModality(Qt::ApplicationModal);
    if (flags == boxYesNoCancel) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
    }
    switch (box.exec()) {
        case QMessageBox::Yes: return answerYes;
        case QMessageBox::No: return answerNo;
        case QMessageBox::Cancel: return answerCancel;
        case QMessageBox::Ok: return answerOk;
        default: return flags == boxYesNoCancel ? answerCancel : answerOk;
    }
}

intptr_t createText(int number, int x, int y, int width, int height, const char* caption, int) {
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
    button->setFocusPolicy(Qt::StrongFocus);
    int window = layer.currentWindow;
    QObject::connect(button, &QPushButton::clicked,
                     [number, window] { raiseDirect({eventControlChanged, number, window, controlTypeClicked}); });
    return reinterpret_cast<intptr_t>(adoptControl(number, button, Kind::button, x, y, width, height));
}

void setControlColor(int number, int attribute, Color color) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::text) return;
    QWidget* widget = entry->widget;
    if (attribute == colorText) {
        entry->textColor = color;
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
        entry->backgroundColor = color;
        paintBackground(widget, color);
    }
    widget->update();
}

void addControlItem(int number, int position, const char* item) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr || entry->kind != Kind::list || position < -1) return;
    auto* list = static_cast<QComboBox*>(entry->widget.data());
    int selected = list->currentIndex();
    layer.changingList = true;
    list->insertItem(position == -1 ? list->count() : position, text(item));
    // Adding items selects nothing by itself; only the user or setControlState does.
    if (selected == -1) list->setCurrentIndex(-1);
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

void disableControl(int number, int state) {
    if (ControlEntry* entry = controlEntry(number)) entry->widget->setEnabled(state == 0);
}

void setControlText(int number, const char* caption) {
    ControlEntry* entry = controlEntry(number);
    if (entry == nullptr) return;
    if (entry->kind == Kind::button)
        static_cast<QPushButton*>(entry->widget.data())->setText(text(caption));
    else if (entry->kind == Kind::text)
        static_cast<QLabel*>(entry->widget.data())->setText(text(caption));
}

namespace {

class SaveDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        // The chosen folder must exist; the dialog stays open otherwise.
        const QStringList chosen = selectedFiles();
        if (!chosen.isEmpty() && !QFileInfo(chosen.first()).absoluteDir().exists()) return;
        QFileDialog::accept();
    }
};

bool acceptableProposedName(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char byte : name)
        if (byte < 0x20 || std::string_view("\"*/:<>?\\|").find(static_cast<char>(byte)) != std::string_view::npos) return false;
    return true;
}

}  // namespace

std::string saveFileDialog(const char* title, const char* defaultPath, const char* pattern, int patternIndex) {
    if (layer.application == nullptr) return {};
    handOverPendingTitles();
    SaveDialog dialog(activeLayerWindow(), text(title));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setWindowModality(Qt::ApplicationModal);

    QStringList filters;
    const QStringList parts = text(pattern).split(QChar('|'));
    for (qsizetype index = 0; index + 1 < parts.size(); index += 2)
        filters << QStringLiteral("%1 (%2)").arg(parts[index], parts[index + 1]);
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        if (patternIndex >= 0 && patternIndex < filters.size()) dialog.selectNameFilter(filters[patternIndex]);
    }

    if (defaultPath != nullptr) {
        std::string path(defaultPath);
        size_t separator = path.find_last_of("\\/");
        std::string folder;
        std::string name = path;
        if (separator != std::string::npos && separator > 0) {
            folder = path.substr(0, separator);
            name = path.substr(separator + 1);
        }
        dialog.setDirectory(folder.empty() ? QDir::currentPath() : QDir(QString::fromUtf8(folder)).absolutePath());
        if (acceptableProposedName(name)) dialog.selectFile(QString::fromUtf8(name));
    }

    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? std::string() : QFile::encodeName(chosen.first()).toStdString();
}
