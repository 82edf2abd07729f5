// SPDX-License-Identifier: MIT
// The platform the layer's application starts on, and the one line that
// tells the user why when none will start.
#include <QRegularExpression>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "layer.h"

namespace ui_detail {
namespace {

// What the application is started with, and what became of it. QApplication
// keeps the count and the arguments it is given for its whole life, so they
// live as long as the program; Qt's message handler, which takes no context,
// notes the plugin it missed here. The interface thread only.
struct Starting {
    int argumentCount = 1;
    char programName[9] = "ostrelle";
    char platformOption[10] = "-platform";
    char platformName[8] = "wayland";
    char* arguments[4] = {programName, platformOption, platformName, nullptr};
    std::string platformTried;
    std::string pluginMissing;
    // What the program finishes before the line that ends it is written.
    std::function<void()> beforeFailing;
};
Starting starting;

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// A Wayland compositor places windows itself and ignores where they ask to
// be; XWayland honours it. So X is used wherever DISPLAY names one, even in a
// Wayland session, and Wayland only without it. A platform the user chose
// with QT_QPA_PLATFORM stays theirs.
const char* choosePlatform() {
    starting.argumentCount = 1;
    if (isSet("QT_QPA_PLATFORM")) return std::getenv("QT_QPA_PLATFORM");
    const char* chosen = isSet("DISPLAY") ? "xcb" : isSet("WAYLAND_DISPLAY") ? "wayland" : nullptr;
    if (chosen == nullptr) return "";
    std::snprintf(starting.platformName, sizeof starting.platformName, "%s", chosen);
    // Qt takes the option out of the arguments it is given; put it back.
    starting.arguments[1] = starting.platformOption;
    starting.arguments[2] = starting.platformName;
    starting.argumentCount = 3;
    return chosen;
}

// Qt ends the process with an abort when no platform can start; the user is
// told why in one line: the plugin that is not installed, or the display
// that would not open, or that no variable names one.
[[noreturn]] void reportNoDisplay() {
    if (starting.beforeFailing) starting.beforeFailing();
    const bool hasWayland = isSet("WAYLAND_DISPLAY");
    const bool hasX11 = isSet("DISPLAY");
    const bool wayland = starting.platformTried.rfind("wayland", 0) == 0 || (starting.platformTried.empty() && !hasX11);
    if (!starting.pluginMissing.empty())
        std::fprintf(stderr,
                     "ostrelle: needs a graphical display, but Qt's %s platform plugin is not installed (package %s)\n",
                     starting.pluginMissing.c_str(),
                     starting.pluginMissing.rfind("wayland", 0) == 0 ? "qt6-wayland" : "libqt6gui6");
    else if (!hasWayland && !hasX11)
        std::fprintf(stderr, "ostrelle: needs a graphical display, but neither DISPLAY nor WAYLAND_DISPLAY is set\n");
    else
        std::fprintf(stderr, "ostrelle: needs a graphical display, but the one %s names (%s) could not be opened\n",
                     wayland ? "WAYLAND_DISPLAY" : "DISPLAY", std::getenv(wayland ? "WAYLAND_DISPLAY" : "DISPLAY"));
    std::_Exit(1);
}

void fatalWhileStarting(QtMsgType type, const QMessageLogContext&, const QString& message) {
    // Qt warns which plugin it could not find before it gives up.
    static const QRegularExpression missing(QStringLiteral("Could not find the Qt platform plugin \"([^\"]+)\""));
    if (const QRegularExpressionMatch match = missing.match(message); match.hasMatch())
        starting.pluginMissing = match.captured(1).toStdString();
    if (type == QtFatalMsg) reportNoDisplay();
}

}  // namespace

QApplication* startApplication(const std::function<void()>& beforeFailing) {
    starting.platformTried = choosePlatform();
    starting.beforeFailing = beforeFailing;
    readyLayerEnvironment();
    QtMessageHandler previous = qInstallMessageHandler(fatalWhileStarting);
    auto* application = new QApplication(starting.argumentCount, starting.arguments);
    qInstallMessageHandler(previous);
    return application;
}

}  // namespace ui_detail

// The level meter redraws 20 times a second. Through X's shared-memory
// images each redraw would wake the program twice more, for the server's
// word that it has read the image; a window this small is as quickly sent.
void readyLayerEnvironment() {
    if (!ui_detail::isSet("QT_XCB_NO_MITSHM")) setenv("QT_XCB_NO_MITSHM", "1", 1);
}
