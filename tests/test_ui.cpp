// SPDX-License-Identifier: MIT
// The window layer over real Qt widgets on the offscreen platform.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "support.h"
#include "temp_folder.h"
#include "ui.h"
#include "ui_testing.h"

namespace {

constexpr const char* title = "Ostrelle - Beta 2 - Pelvar Audio - (Asio is not supported) ";

struct Seen {
    int code, object, type;
    bool operator==(const Seen&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Seen& seen) {
    return out << "{" << seen.code << ", " << seen.object << ", " << seen.type << "}";
}

Seen next() {
    int code = waitWindowEvent();
    return {code, eventControl(), eventType()};
}

void requestCloseLater(int window, int milliseconds = 0) {
    later([window] { windowWidget(window)->close(); }, milliseconds);
}

class WindowLayer : public ::testing::Test {
   protected:
    void SetUp() override {
        forgetAnswers();
        ASSERT_NE(openWindow(2, 150, 150, 440, 340, title, styleFixedWindow), 0);
    }
    void TearDown() override { closeWindow(2); }
};

TEST_F(WindowLayer, MainWindowHasItsClientSizeTitleAndBoxes) {
    QWidget* window = windowWidget(2);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(440, 340));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "not resizable";
    EXPECT_EQ(window->windowTitle().toStdString(), title);
    Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(windowTitle(2), window->windowTitle().toStdString()) << "the layer reports what the window shows";
    // Reopening under the same number replaces the window.
    openWindow(2, 10, 10, 100, 50, "second", styleFixedWindow);
    int windows = 0;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == "window2") ++windows;
    EXPECT_EQ(windows, 1);
    EXPECT_EQ(windowWidget(2)->windowTitle().toStdString(), "second");
}

TEST_F(WindowLayer, CloseBoxOnlyAsksAndIdenticalQueuedEventsFoldTogether) {
    later([] {
        windowWidget(2)->close();
        windowWidget(2)->close();  // folds into the one still queued
    });
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0}));
    EXPECT_TRUE(windowWidget(2)->isVisible()) << "only closeWindow closes";
    // Delivered events no longer fold: the same request queues again.
    requestCloseLater(2);
    later([] { setWindowTitle(2, "after"); }, 5);
    requestCloseLater(2, 10);
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0}));
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0}));
    closeWindow(2);
    EXPECT_EQ(windowWidget(2), nullptr);
}

TEST_F(WindowLayer, EventsComeInTheOrderTheyHappened) {
    createComboBox(3, 26, 50, 85, 20);
    addControlItem(3, -1, "1");
    addControlItem(3, -1, "2");
    createButton(7, 50, 170, 80, 40, "Record");
    later([] {
        static_cast<QComboBox*>(controlWidget(3))->setCurrentIndex(1);
        QTest::mouseClick(controlWidget(7), Qt::LeftButton);
        windowWidget(2)->close();
    });
    EXPECT_EQ(next(), (Seen{eventControlChanged, 3, controlTypeSelectionChanged}));
    EXPECT_EQ(next(), (Seen{eventControlChanged, 7, controlTypeClicked}));
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0}));
}

TEST_F(WindowLayer, TimerTicksNameTheirTimer) {
    EXPECT_EQ(addWindowTimer(9, 1000, 10), 0) << "no window 9";
    EXPECT_NE(addWindowTimer(2, 1000, 10), 0);
    EXPECT_EQ(waitWindowEvent(), eventTimerTick);
    EXPECT_EQ(eventTimer(), 1000);
    EXPECT_EQ(eventType(), -1);
}

TEST_F(WindowLayer, ClicksDuringABoxAreLostButQueuedEventsStay) {
    createButton(7, 50, 170, 80, 40, "Record");
    createComboBox(3, 26, 50, 85, 20);
    addControlItem(3, -1, "1");
    addControlItem(3, -1, "2");
    later([] {
        QTest::mouseClick(controlWidget(7), Qt::LeftButton);
        static_cast<QComboBox*>(controlWidget(3))->setCurrentIndex(0);
    });
    EXPECT_EQ(messageBox("Busy", "a box runs its own loop"), answerOk);
    requestCloseLater(2);
    EXPECT_EQ(next(), (Seen{eventControlChanged, 3, controlTypeSelectionChanged}));
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0}));
}

TEST_F(WindowLayer, MessageBoxAnswersAreTheButtonNumbers) {
    plannedBoxAnswers = {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel};
    EXPECT_EQ(messageBox("Overwrite file?", "take.wav already exists.\r\rDo you want to overwrite this file?",
                         boxYesNoCancel),
              answerYes);
    EXPECT_EQ(messageBox("Overwrite file?", "x", boxYesNoCancel), answerNo);
    EXPECT_EQ(messageBox("Overwrite file?", "x", boxYesNoCancel), answerCancel);
    plannedBoxAnswers = {QMessageBox::NoButton};  // the box closed from its title bar
    EXPECT_EQ(messageBox("Overwrite file?", "x", boxYesNoCancel), answerCancel);
    EXPECT_EQ(messageBox("Done!", "saved"), answerOk);
    // A question without Cancel: Yes is the default, closing the box means No.
    EXPECT_EQ(messageBox("Unsaved take", "x", boxYesNo), answerYes);
    plannedBoxAnswers = {QMessageBox::No, QMessageBox::NoButton};
    EXPECT_EQ(messageBox("Unsaved take", "x", boxYesNo), answerNo);
    EXPECT_EQ(messageBox("Unsaved take", "x", boxYesNo), answerNo);
    ASSERT_EQ(seenBoxes.size(), 8u);
    EXPECT_EQ(seenBoxes[0].title, "Overwrite file?");
    EXPECT_EQ(seenBoxes[0].text, "take.wav already exists.\n\nDo you want to overwrite this file?");
    EXPECT_EQ(seenBoxes[0].buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    EXPECT_EQ(seenBoxes[4].buttons, QMessageBox::Ok);
    EXPECT_EQ(seenBoxes[5].buttons, QMessageBox::Yes | QMessageBox::No);
}

TEST_F(WindowLayer, TitleIsReportedAtOnceAndReachesTheWindowBeforeTheNextWait) {
    for (int count = 975; count < 5000; ++count)
        setWindowTitle(2, (" Wait...Memory Decode : " + std::to_string(count)).c_str());
    EXPECT_EQ(windowTitle(2), " Wait...Memory Decode : 4999");
    requestCloseLater(2);
    waitWindowEvent();
    EXPECT_EQ(windowWidget(2)->windowTitle().toStdString(), " Wait...Memory Decode : 4999");
    setWindowTitle(2, nullptr);
    EXPECT_EQ(windowTitle(2), " Wait...Memory Decode : 4999");
}

TEST_F(WindowLayer, ReplacingATextControlLeavesOneWithTheNewTextInSystemColours) {
    createText(21, 172, 174, 320, 20, "Device: old");
    setControlColor(21, colorText, rgb(0, 255, 128));
    setControlColor(21, colorBackground, rgb(0, 0, 0));
    QColor standardText = QApplication::palette().color(QPalette::Active, QPalette::WindowText);
    EXPECT_EQ(controlWidget(21)->palette().color(QPalette::Active, QPalette::WindowText), QColor(0, 255, 128));
    createText(21, 172, 174, 320, 20, "Device: new");
    EXPECT_EQ(windowWidget(2)->findChildren<QWidget*>("control21").size(), 1);
    EXPECT_EQ(controlText(21), "Device: new");
    EXPECT_EQ(controlWidget(21)->palette().color(QPalette::Active, QPalette::WindowText), standardText);
    EXPECT_FALSE(controlWidget(21)->autoFillBackground());
    EXPECT_EQ(controlWidget(21)->geometry(), QRect(172, 174, 320, 20));
}

// A long text cut in the middle shows its beginning and its end on one line,
// as far as the window shows the control; screen readers get all of it.
TEST_F(WindowLayer, LongTextsAreCutInTheMiddleWhereTheWindowCutsThem) {
    const QString whole = QString(60, 'a') + " middle " + QString(60, 'z');
    createText(21, 172, 174, 320, 20, whole.toUtf8().constData());
    createComboBox(6, 26, 110, 240, 20);
    addControlItem(6, -1, whole.toUtf8().constData());
    setControlState(6, 0);
    for (int number : {21, 6}) {
        cutTextInTheMiddle(number);
        QWidget* control = controlWidget(number);
        auto* label = qobject_cast<QLabel*>(control);
        auto* list = qobject_cast<QComboBox*>(control);
        // The same control as Qt paints it, given the text cut in the
        // middle: to what the window shows of the label (268 of its 320
        // pixels), to what the list's field holds (which the style sets).
        QLabel shownLabel;
        QComboBox shownList;
        QWidget& shown = label != nullptr ? static_cast<QWidget&>(shownLabel) : shownList;
        shown.setParent(control->parentWidget());
        shown.setGeometry(control->geometry());
        shown.setPalette(control->palette());
        shownLabel.setAlignment(label != nullptr ? label->alignment() : Qt::AlignLeft);
        shownList.addItem("");
        const QImage painted = control->grab().toImage();
        bool same = false;
        for (int room = label != nullptr ? 440 - 172 : list->width(); room > 0 && !same; --room) {
            const QString cut = control->fontMetrics().elidedText(whole, Qt::ElideMiddle, room);
            shownLabel.setText(cut);
            shownList.setItemText(0, cut);
            same = painted == shown.grab().toImage() && cut.startsWith("aaa") && cut.endsWith("zzz");
            if (label != nullptr) break;
        }
        EXPECT_TRUE(same) << number << " shows both ends of its text";
        EXPECT_EQ(controlText(number), whole.toStdString()) << "screen readers read it whole";
    }
}

TEST_F(WindowLayer, ListsReportOnlyTheUsersChanges) {
    createComboBox(5, 305, 50, 110, 20);
    EXPECT_EQ(controlWidget(5)->height(), 20);
    EXPECT_FALSE(static_cast<QComboBox*>(controlWidget(5))->isEditable());
    for (const char* rate : {"48000", "88200"}) addControlItem(5, -1, rate);
    addControlItem(5, 0, "44100");
    addControlItem(5, -2, "ignored");
    EXPECT_EQ(getControlState(5), -1) << "adding items selects nothing";
    setControlState(5, 2);
    EXPECT_EQ(getControlState(5), 2);
    EXPECT_EQ(controlText(5), "88200");
    for (int item = 0; item < 3; ++item) setControlItemData(5, item, 100 + item);
    EXPECT_EQ(getControlItemData(5, 0), 100);
    EXPECT_EQ(getControlItemData(5, 3), -1);
    EXPECT_EQ(getControlState(40), 0) << "a number naming no control";

    later([] { QTest::keyClick(controlWidget(5), Qt::Key_Up); });
    requestCloseLater(2, 5);
    EXPECT_EQ(next(), (Seen{eventControlChanged, 5, controlTypeSelectionChanged}));
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0})) << "setControlState raised nothing";
    EXPECT_EQ(getControlState(5), 1);

    // Removing items: the others keep their data, and removing the selected
    // one leaves none selected, raising nothing either.
    removeControlItem(5, 0);
    EXPECT_EQ(getControlState(5), 0);
    EXPECT_EQ(getControlItemData(5, 0), 101);
    removeControlItem(5, 0);
    EXPECT_EQ(getControlState(5), -1);
    EXPECT_EQ(getControlItemData(5, 0), 102);
    requestCloseLater(2, 5);
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0}));
}

// An input plugged in while the list is open can be seen without scrolling;
// one unplugged leaves no empty row.
TEST_F(WindowLayer, AnOpenListFitsItsItemsAsTheyComeAndGo) {
    createComboBox(5, 10, 90, 240, 20);
    for (const char* name : {"pulse 0", "default 0", "Monitor of A", "Monitor of B"}) addControlItem(5, -1, name);
    auto* list = static_cast<QComboBox*>(controlWidget(5));
    const auto fitsItsRows = [list] {
        QApplication::processEvents();
        const QAbstractItemView* view = list->view();
        return view->isVisible() &&
               view->viewport()->height() == list->count() * view->visualRect(view->model()->index(0, 0)).height();
    };
    list->showPopup();
    ASSERT_TRUE(fitsItsRows());
    addControlItem(5, -1, "USB Microphone (sound server)");
    EXPECT_TRUE(fitsItsRows());
    removeControlItem(5, 2);
    removeControlItem(5, 2);
    EXPECT_TRUE(fitsItsRows());
    list->hidePopup();
}

TEST_F(WindowLayer, ButtonsClickOncePerPressAndNeverWhileDisabled) {
    createButton(9, 310, 105, 100, 25, "ACCEPT", buttonDefault);
    createButton(7, 50, 170, 80, 40, "Record");
    EXPECT_TRUE(static_cast<QPushButton*>(controlWidget(9))->isDefault());
    enableControl(7, false);
    later([] {
        QTest::mouseClick(controlWidget(7), Qt::LeftButton);
        QTest::keyClick(controlWidget(9), Qt::Key_Return);
        QTest::keyClick(controlWidget(9), Qt::Key_Enter);
        windowWidget(2)->close();
    });
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0}));
    enableControl(7, true);
    setControlText(7, "12");
    EXPECT_EQ(controlText(7), "12");
    later([] {
        QTest::mouseClick(controlWidget(7), Qt::LeftButton);
        QTest::keyClick(controlWidget(9), Qt::Key_Space);
    });
    EXPECT_EQ(next(), (Seen{eventControlChanged, 7, controlTypeClicked}));
    EXPECT_EQ(next(), (Seen{eventControlChanged, 9, controlTypeClicked}));
}

TEST_F(WindowLayer, TabMovesThroughEnabledControlsInCreationOrder) {
    createComboBox(3, 26, 50, 85, 20);
    createText(14, 26, 25, 85, 20, "# of Channels");
    createComboBox(4, 160, 50, 95, 20);
    createButton(9, 310, 105, 100, 25, "ACCEPT", buttonDefault);
    createButton(7, 50, 170, 80, 40, "Record");
    enableControl(4, false);
    QWidget* window = windowWidget(2);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    controlWidget(3)->setFocus();
    auto focusAfter = [&](Qt::KeyboardModifiers modifiers) {
        QTest::keyClick(window->focusWidget(), Qt::Key_Tab, modifiers);
        return window->focusWidget() == nullptr ? QString() : window->focusWidget()->objectName();
    };
    EXPECT_EQ(focusAfter(Qt::NoModifier), "control9");
    EXPECT_EQ(focusAfter(Qt::NoModifier), "control7");
    EXPECT_EQ(focusAfter(Qt::NoModifier), "control3") << "wraps around";
    EXPECT_EQ(focusAfter(Qt::ShiftModifier), "control7");
}

// Record, Stop and Save with their keys, and a list that can hold the focus.
class ButtonKeys : public WindowLayer {
   protected:
    void SetUp() override {
        WindowLayer::SetUp();
        createComboBox(3, 26, 50, 85, 20);
        addControlItem(3, -1, "1");
        createButton(9, 310, 105, 100, 25, "ACCEPT", buttonDefault);
        createButton(7, 50, 170, 80, 40, "Record");
        createButton(1, 50, 270, 80, 40, "Stop");
        createButton(8, 50, 220, 80, 40, "Save");
        setButtonKeys(7, "Ctrl+Shift+R");
        setButtonKeys(1, "Ctrl+Shift+T");
        setButtonKeys(8, "Ctrl+S");
        QWidget* window = windowWidget(2);
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
    // The keys as a person types them, to whichever control has the focus.
    static void press(const char* keys) {
        const QKeyCombination combination = QKeySequence(QString::fromUtf8(keys))[0];
        QWidget* window = windowWidget(2);
        QWidget* target = window->focusWidget() != nullptr ? window->focusWidget() : window;
        QTest::keyClick(target, combination.key(), combination.keyboardModifiers());
    }
    // The next event; keys that never press anything show as a close request
    // after a while, rather than as a wait without end.
    static Seen nextOrGiveUp() {
        QTimer giveUp;
        giveUp.setSingleShot(true);
        QObject::connect(&giveUp, &QTimer::timeout, [] { windowWidget(2)->close(); });
        giveUp.start(10000);
        return next();
    }
};

TEST_F(ButtonKeys, PressTheirButtonWhereverTheFocusIsAndNeverWhileDisabled) {
    struct Row {
        const char* keys;
        int button;
        bool enabled;
        int focus;  // -1: no control has it
    };
    const Row rows[] = {
        {"Ctrl+Shift+R", 7, true, 3},  {"Ctrl+Shift+R", 7, true, -1}, {"Ctrl+Shift+T", 1, true, 9},
        {"Ctrl+S", 8, true, 7},        {"Ctrl+S", 8, true, 8},        {"Ctrl+Shift+R", 7, false, 3},
        {"Ctrl+Shift+T", 1, false, 7}, {"Ctrl+S", 8, false, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.keys) + (row.enabled ? " enabled" : " disabled") + ", focus on " +
                     std::to_string(row.focus));
        for (int button : {7, 1, 8}) enableControl(button, true);
        enableControl(row.button, row.enabled);
        if (row.focus >= 0)
            controlWidget(row.focus)->setFocus();
        else if (QWidget* focused = windowWidget(2)->focusWidget())
            focused->clearFocus();
        // A press of another button's keys behind it shows when the row's
        // press is over, whether or not it clicked.
        const char* witnessKeys = row.button == 8 ? "Ctrl+Shift+R" : "Ctrl+S";
        const int witness = row.button == 8 ? 7 : 8;
        later([&] {
            press(row.keys);
            press(witnessKeys);
        });
        if (row.enabled) {
            EXPECT_EQ(nextOrGiveUp(), (Seen{eventControlChanged, row.button, controlTypeClicked}));
        }
        EXPECT_EQ(nextOrGiveUp(), (Seen{eventControlChanged, witness, controlTypeClicked}));
    }
}

TEST_F(ButtonKeys, KeepTheirKeysWhateverTheirTextAndClickOncePerState) {
    setControlText(7, "12");
    // Pressed twice before the program saw the first click: the first click
    // disables Record, as recording does, so the second meets it disabled.
    later([] {
        press("Ctrl+Shift+R");
        QTest::qWait(200);
        press("Ctrl+Shift+R");
        QTest::qWait(200);
        press("Ctrl+Shift+T");
    });
    EXPECT_EQ(nextOrGiveUp(), (Seen{eventControlChanged, 7, controlTypeClicked}));
    enableControl(7, false);
    EXPECT_EQ(nextOrGiveUp(), (Seen{eventControlChanged, 1, controlTypeClicked}));
    setButtonKeys(1, "");
    later([] {
        press("Ctrl+Shift+T");
        windowWidget(2)->close();
    });
    EXPECT_EQ(next(), (Seen{eventCloseRequested, 2, 0})) << "keys taken away press nothing";
}

// What a screen reader is told: names from the texts, descriptions, keys and captions.
TEST_F(ButtonKeys, ControlsTellScreenReadersTheirNamesKeysAndCaptions) {
    createText(14, 26, 25, 85, 20, "# of Channels");
    setControlCaption(3, 14);
    setControlDescription(7, "Starts a take (Ctrl+Shift+R)");
    setControlText(7, "3");
    auto accessible = [](int control) { return QAccessible::queryAccessibleInterface(controlWidget(control)); };
    EXPECT_EQ(accessible(7)->text(QAccessible::Name).toStdString(), "3") << "named by its text as it is now";
    EXPECT_EQ(accessible(7)->text(QAccessible::Description).toStdString(), "Starts a take (Ctrl+Shift+R)");
    EXPECT_EQ(controlWidget(7)->toolTip().toStdString(), "Starts a take (Ctrl+Shift+R)");
    QAccessibleActionInterface* actions = accessible(7)->actionInterface();
    ASSERT_NE(actions, nullptr);
    EXPECT_EQ(actions->keyBindingsForAction(QAccessibleActionInterface::pressAction()),
              QStringList{QStringLiteral("Ctrl+Shift+R")});
    EXPECT_EQ(accessible(14)->text(QAccessible::Name).toStdString(), "# of Channels");
    const auto labels = accessible(3)->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1) << "the list is labelled by its caption";
    EXPECT_EQ(labels[0].first->object(), controlWidget(14));
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(windowWidget(2));
    EXPECT_EQ(window->text(QAccessible::Name).toStdString(), title);
    EXPECT_EQ(window->role(), QAccessible::Window) << "announced as a window, not as a pane of one";
    // Captions tie only text controls to controls that exist.
    createText(15, 166, 25, 85, 20, "# of Bit");
    setControlCaption(3, 9);
    setControlCaption(40, 15);
    EXPECT_EQ(accessible(3)->relations(QAccessible::Label).size(), 1);
}

// A timer for a visible window's work stops while the window is minimised
// or hidden, so the interface thread takes none of its wake-ups then, and
// starts again once the window shows.
TEST_F(WindowLayer, ShownTimersTickOnlyWhileTheWindowShows) {
    QWidget* window = windowWidget(2);
    ASSERT_NE(addShownWindowTimer(2, 1001, 10), 0);
    EXPECT_EQ(addShownWindowTimer(9, 1001, 10), 0) << "no window 9";
    auto ticksGrow = [] {
        const int64_t before = shownTimerTicks(2, 1001);
        for (int wait = 0; wait < 500 && shownTimerTicks(2, 1001) == before; ++wait) QTest::qWait(10);
        return shownTimerTicks(2, 1001) > before;
    };
    // Each way of leaving the screen, and the way back.
    const std::pair<const char*, std::function<void()>> leaving[] = {
        {"minimised", [window] { window->showMinimized(); }},
        {"hidden", [window] { window->hide(); }},
    };
    for (const auto& [how, leave] : leaving) {
        ASSERT_TRUE(ticksGrow()) << "before " << how;
        leave();
        // The layer looks once the window has taken the change in.
        QTest::qWait(20);
        const int64_t stopped = shownTimerTicks(2, 1001);
        QTest::qWait(200);
        EXPECT_EQ(shownTimerTicks(2, 1001), stopped) << how << ": no wake-ups";
        window->showNormal();
        EXPECT_TRUE(ticksGrow()) << "shown again after " << how;
    }
    // An ordinary timer goes on ticking while the window is minimised.
    addWindowTimer(2, 1000, 10);
    window->showMinimized();
    QTest::qWait(20);
    EXPECT_EQ(waitWindowEvent(), eventTimerTick);
    EXPECT_EQ(eventTimer(), 1000);
    window->showNormal();
}

// The meter's message is drawn in (0, 255, 128), blue half its green even
// where its edges fade into black, which no bar, mark or tick has.
bool messageGreen(const QColor& pixel) {
    return pixel.red() < 100 && pixel.green() > 150 && pixel.blue() * 100 > pixel.green() * 45;
}

// The last column of a row lit as a bar or mark is lit.
int lastLitColumn(const QImage& image, int row, int columns) {
    int last = -1;
    for (int column = 0; column < columns; ++column) {
        const QColor pixel = image.pixelColor(column, row);
        if (std::max({pixel.red(), pixel.green(), pixel.blue()}) > 150 && !messageGreen(pixel)) last = column;
    }
    return last;
}

struct MeterCase {
    const char* what;
    MeterReading reading;
    // Per bar: the dBFS its lit pixels end at (below -60: none lit), and the
    // zone of its last lit pixel (0 green, 1 yellow, 2 red).
    double litToDb[2];
    int zone[2];
    bool lampRed;
    bool message;
};

// The meter in the strip below the buttons: 388 by 22 pixels, the lamp the
// last 40 columns, the scale from -60 dBFS at column 0 to 0 dBFS at column
// 336, in proportion to dB.
TEST_F(WindowLayer, MeterDrawsLevelsInProportionToDecibelsWithItsZonesLampAndMessage) {
    ASSERT_NE(createMeter(25, 26, 314, 388, 22, "Input level"), 0);
    QWidget* meter = controlWidget(25);
    ASSERT_NE(meter, nullptr);
    EXPECT_EQ(meter->geometry(), QRect(26, 314, 388, 22));
    EXPECT_EQ(meter->focusPolicy(), Qt::NoFocus);
    const double half = 20 * std::log10(0.5);
    auto reading = [](int channels, std::array<double, 2> level, std::array<double, 2> hold, int64_t clips,
                      const char* message = nullptr) {
        MeterReading made;
        made.channelCount = channels;
        for (int channel = 0; channel < 2; ++channel) {
            made.levelDb[channel] = level[static_cast<size_t>(channel)];
            made.holdDb[channel] = hold[static_cast<size_t>(channel)];
        }
        made.clips = clips;
        made.message = message;
        return made;
    };
    const MeterCase cases[] = {
        {"half scale in yellow, a quarter in yellow",
         reading(2, {half, 2 * half}, {half, 2 * half}, 0),
         {half, 2 * half},
         {1, 1},
         false,
         false},
        {"full scale in red, -30 in green", reading(2, {0, -30}, {0, -30}, 0), {0, -30}, {2, 0}, false, false},
        {"a hold mark above its bar", reading(2, {-40, -40}, {-10, -40}, 0), {-10, -40}, {1, 0}, false, false},
        {"below the scale", reading(2, {-70, -100}, {-70, -100}, 0), {-100, -100}, {0, 0}, false, false},
        {"one bar", reading(1, {-20, -100}, {-20, -100}, 0), {-20, -100}, {0, 0}, false, false},
        {"clips light the lamp", reading(2, {-3, -3}, {-3, -3}, 3), {-3, -3}, {2, 2}, true, false},
        {"a message in place of the bars",
         reading(2, {-3, -3}, {-3, -3}, 1, "No signal"),
         {-100, -100},
         {0, 0},
         true,
         true},
    };
    const QColor zones[] = {QColor(0, 210, 80), QColor(235, 210, 0), QColor(235, 35, 35)};
    for (const MeterCase& row : cases) {
        showMeterReading(25, row.reading);
        const QImage image = meter->grab().toImage();
        const int channels = row.reading.channelCount;
        for (int channel = 0; channel < channels; ++channel) {
            // The middle row of the bar: bars share rows 2 to 19, 2 apart.
            const int barRow = channels == 1 ? 10 : channel == 0 ? 5 : 15;
            const int last = lastLitColumn(image, barRow, 336);
            if (row.litToDb[channel] < -60) {
                EXPECT_EQ(last, -1) << row.what << ", bar " << channel;
                continue;
            }
            const double expected = (row.litToDb[channel] + 60) / 60 * 336;
            EXPECT_NEAR(last + 1, expected, 1.0) << row.what << ", bar " << channel;
            EXPECT_EQ(image.pixelColor(last, barRow), zones[row.zone[channel]]) << row.what << ", bar " << channel;
        }
        const QColor lamp = image.pixelColor(388 - 6, 11);
        EXPECT_EQ(lamp.red() > 200 && lamp.green() < 80, row.lampRed)
            << row.what << ": lamp " << lamp.name().toStdString();
        int messagePixels = 0;
        for (int column = 0; column < 336; ++column)
            for (int line = 0; line < 22; ++line) messagePixels += messageGreen(image.pixelColor(column, line));
        EXPECT_EQ(messagePixels > 10, row.message) << row.what;
    }
    showMeterReading(25, MeterReading{});
    const QImage empty = meter->grab().toImage();
    for (int column = 0; column < 388; column += 7)
        for (int line = 0; line < 22; ++line)
            ASSERT_EQ(empty.pixelColor(column, line), QColor(Qt::black)) << "no channels: all black";

    // For screen readers: its name, and the value text it is given.
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(meter);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Name).toStdString(), "Input level");
    setMeterValueText(25, "Left −12 dBFS, right −14 dBFS, clipped 3 times");
    EXPECT_EQ(accessible->text(QAccessible::Value).toStdString(), "Left −12 dBFS, right −14 dBFS, clipped 3 times");
    EXPECT_EQ(accessible->text(QAccessible::Description), accessible->text(QAccessible::Value));
    setMeterValueText(25, "No signal");
    EXPECT_EQ(accessible->text(QAccessible::Value).toStdString(), "No signal");
}

// A redraw paints only what changed: Record's new caption each second
// paints the button, not the window beneath it too; the take's line given
// its own text again, and a reading that lands on the meter's same pixels,
// paint nothing.
TEST_F(WindowLayer, ANewCaptionPaintsItsButtonAloneAndAnUnchangedControlNothing) {
    createButton(7, 50, 170, 80, 40, "Record");
    createText(26, 172, 288, 320, 22, "Peak −6 dBFS");
    setControlColor(26, colorBackground, rgb(0, 0, 0));
    createMeter(25, 26, 314, 388, 22, "Input level");
    MeterReading reading;
    reading.channelCount = 2;
    showMeterReading(25, reading);
    QWidget* window = windowWidget(2);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    window->repaint();
    struct PaintCounter : QObject {
        std::map<QObject*, int> painted;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint) ++painted[watched];
            return false;
        }
    } counter;
    for (QWidget* widget : {window, controlWidget(7), controlWidget(26), controlWidget(25)})
        widget->installEventFilter(&counter);
    setControlText(7, "1");
    setControlText(26, "Peak −6 dBFS");
    showMeterReading(25, reading);
    for (int wait = 0; wait < 500 && counter.painted[controlWidget(7)] == 0; ++wait) QTest::qWait(10);
    EXPECT_EQ(counter.painted[controlWidget(7)], 1);
    EXPECT_EQ(counter.painted[window], 0) << "the window beneath the button";
    EXPECT_EQ(counter.painted[controlWidget(26)], 0) << "the line";
    EXPECT_EQ(counter.painted[controlWidget(25)], 0) << "the meter";
}

TEST(SaveDialog, OpensInTheCurrentFolderWithTheWavFilterAndAddsNothing) {
    TempFolder folder;
    openWindow(2, 150, 150, 440, 340, title, styleFixedWindow);
    forgetAnswers();
    std::ofstream("existing.wav") << "x";
    const std::string here = std::filesystem::current_path().string();
    plannedDialogAnswers = {std::nullopt, here + "/existing.wav", here + "/plain"};
    EXPECT_EQ(saveFileDialog("Select a file...", ".\\", ".wav|*.wav", 0), "");
    EXPECT_EQ(saveFileDialog("Select a file...", "./", ".wav|*.wav", 0), here + "/existing.wav");
    EXPECT_EQ(saveFileDialog("Select a file...", ".\\", ".wav|*.wav", 0), here + "/plain") << "no suffix added";
    EXPECT_EQ(std::filesystem::current_path().string(), here);
    ASSERT_EQ(seenDialogs.size(), 3u);
    for (const SeenDialog& seen : seenDialogs) {
        EXPECT_EQ(seen.title, "Select a file...");
        EXPECT_EQ(seen.folder, here);
        EXPECT_EQ(seen.proposedName, "");
        EXPECT_EQ(seen.selectedFilter, ".wav");
        EXPECT_EQ(seen.filters, std::vector<std::string>{".wav (*.wav)"});
        EXPECT_FALSE(seen.confirmsOverwrite);
        EXPECT_EQ(seen.defaultSuffix, "");
    }
    EXPECT_TRUE(seenBoxes.empty()) << "the dialog asks nothing about existing files";

    std::filesystem::create_directory("sub");
    plannedDialogAnswers = {std::nullopt, std::nullopt};
    saveFileDialog("Select a file...", "sub\\take.wav", ".wav|*.wav", 0);
    saveFileDialog("Select a file...", "sub/b?d.wav", ".wav|*.wav", 0);
    ASSERT_EQ(seenDialogs.size(), 5u);
    EXPECT_EQ(seenDialogs[3].folder, here + "/sub");
    EXPECT_EQ(seenDialogs[3].proposedName, "take.wav");
    EXPECT_EQ(seenDialogs[4].proposedName, "") << "a name with forbidden characters is dropped";
    closeWindow(2);
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, false); }
