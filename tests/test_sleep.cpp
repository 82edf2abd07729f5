// SPDX-License-Identifier: MIT
// The recorder and the computer's sleep, in-process: logind stood in for on
// a private system bus, and the words of the boxes that tell of a take a
// sleep ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "app_fixture.h"
#include "ui_testing.h"

namespace {

std::string readText(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A private system bus of the rig's with the stand-in for logind on it,
// which stops no caller (the caller is the test itself). Made before the
// window layer first asks for a bus, which it then keeps for the process's
// life. No session bus: the portal is not asked of the desktop the tests
// run on.
class PrivateLogind {
   public:
    PrivateLogind() : buses_("buses", {SLEEP_SERVICES, "system", "logind", "keep-running"}) {
        useRigEnvironment(buses_.folder());
    }
    bool ready() const { return buses_.started() && said("ready"); }
    void tell(const std::string& command) const {
        const std::string line = command + "\n";
        const int commands = ::open((buses_.folder() + "/commands").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(::write(commands, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        ::close(commands);
    }
    // What the stand-in told, a line each.
    bool said(const std::string& line) const { return ("\n" + all()).find("\n" + line + "\n") != std::string::npos; }
    std::string all() const { return readText(buses_.folder() + "/told"); }

   private:
    RigPart buses_;
};

class Sleep : public Recorder {
   protected:
    bool boxSeen(const std::string& title) {
        for (const SeenBox& box : seenBoxes)
            if (box.title == title) return true;
        return false;
    }
};

std::string clockAt(std::time_t when) {
    std::tm local{};
    char text[16] = "";
    if (::localtime_r(&when, &local) != nullptr) std::strftime(text, sizeof text, "%H:%M", &local);
    return text;
}

}  // namespace

TEST_F(Sleep, ForcedSleepEndsTheTakeWholeBeforeItGoesAheadAndWakingTellsIt) {
    PrivateLogind logind;
    ASSERT_TRUE(logind.ready()) << logind.all();
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    showLevels(app);
    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_TRUE(loopUntil([&] { return logind.said("inhibit\t2\tsleep\tOstrelle\tRecording a take\tdelay"); }))
        << logind.all();
    runLoopFor(800);
    const std::time_t toldAt = std::time(nullptr);
    logind.tell("sleep");
    // The delay lock goes only once the take has ended, all of it in its file.
    ASSERT_TRUE(loopUntil([&] { return logind.said("released\t2"); })) << logind.all();
    EXPECT_EQ(recordingState.loopState, LoopState::Idle);
    EXPECT_FALSE(capture().armed());
    const int32_t frames = capture().framesCaptured();
    EXPECT_GT(frames, 44100 / 2);
    EXPECT_EQ(fileSize("pelvar.temp"), int64_t{frames} * 4) << "the file holds every frame counted";
    EXPECT_TRUE(loopUntil([&] { return logind.said("released\t1") && logind.said("asleep"); })) << logind.all();
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));
    EXPECT_TRUE(seenBoxes.empty()) << "nothing is said before the sleep";
    EXPECT_EQ(controlText(TakeLine).rfind("Take: peak ", 0), 0u)
        << "the line sums the take up: " << controlText(TakeLine);

    logind.tell("wake");
    ASSERT_TRUE(loopUntil([&] { return boxSeen("Error"); }));
    ASSERT_EQ(seenBoxes.size(), 1u);
    const std::string& told = seenBoxes[0].text;
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(told, parts,
                                 std::regex("The computer went to sleep at ([0-9]{2}:[0-9]{2}), so recording "
                                            "stopped\\. The take keeps the ([0-9.]+) seconds recorded before "
                                            "that; Save stores them\\.")))
        << told;
    EXPECT_TRUE(parts[1].str() == clockAt(toldAt) || parts[1].str() == clockAt(toldAt + 60)) << told;
    EXPECT_NEAR(std::stod(parts[2].str()), frames / 44100.0, 0.051) << told;
    EXPECT_EQ(fileSize("pelvar.temp"), int64_t{frames} * 4) << "nothing recorded after waking";

    plannedDialogAnswers = {(folder.path() / "slept").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_EQ(fileSize("slept.wav"), 46 + int64_t{frames} * 4);
}

// A save holds the computer awake while it writes, and its titles let the
// bus's answers in. The lock must go when the save ends, not when the user
// dismisses the box that follows it ("Done!" can wait for hours): a modal
// box's loop runs no deferred deletes posted before it.
TEST_F(Sleep, TheSaveLetsGoOfItsLockWhenItEndsEvenWithABoxUpAfterIt) {
    PrivateLogind logind;
    ASSERT_TRUE(logind.ready()) << logind.all();
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    holdSleep("Saving a take");
    const auto spinTitles = [](int milliseconds) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (int block = 0; std::chrono::steady_clock::now() < until; ++block) {
            setWindowTitle(MainWindow, (" Wait...Memory Decode : " + std::to_string(block)).c_str());
            ::usleep(1000);
        }
    };
    // The answer reaches this thread during the save's titles; its
    // watcher's deletion then waits in the queue.
    for (int tries = 0; tries < 100 && !sleepHeld(); ++tries) spinTitles(50);
    ASSERT_TRUE(logind.said("inhibit\t1\tsleep:idle\tOstrelle\tSaving a take\tblock")) << logind.all();
    ASSERT_TRUE(sleepHeld()) << "the answer never reached the save's titles";
    releaseSleep();
    QEventLoop box;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (logind.said("released\t1")) box.quit();
    });
    poll.start(10);
    later([&box] { box.quit(); }, 5000);
    box.exec();
    EXPECT_TRUE(logind.said("released\t1")) << logind.all();
}

TEST(SleepWords, LengthsKeptReadAsPeopleSayThem) {
    struct Case {
        double seconds;
        double rate;
        const char* said;
    };
    const Case cases[] = {
        {1.0, 44100, "1.0 second"},
        {12.34, 44100, "12.3 seconds"},
        {59.94, 48000, "59.9 seconds"},
        // Rounded to a minute in tenths, and said as one.
        {59.96, 48000, "1 minute"},
        {41 * 60 + 59.9, 192000, "41 minutes"},
        {3600, 96000, "1 hour"},
        {2 * 3600 + 5 * 60 + 30, 44100, "2 hours 5 minutes"},
        // The longest take at 44100 Hz: never more than it holds.
        {2147483647 / 44100.0, 44100, "13 hours 31 minutes"},
    };
    for (const Case& row : cases)
        EXPECT_EQ(keptDuration(static_cast<int32_t>(std::llround(row.seconds * row.rate)), row.rate), row.said)
            << row.seconds << " s at " << row.rate << " Hz";
}

TEST(SleepWords, TheBoxSaysWhenInLocalTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    SleptTake slept;
    slept.wentToSleep = 14 * 3600 + 2 * 60 + 59;
    slept.outcome.framesKept = 41 * 60 * 44100 + 44099;
    EXPECT_EQ(sleptTakeText(slept, 44100),
              "The computer went to sleep at 14:02, so recording stopped. The take keeps the 41 minutes recorded "
              "before that; Save stores them.");
    // Half an hour off the hour, without the time zone database.
    setenv("TZ", "IST-5:30", 1);
    tzset();
    EXPECT_NE(sleptTakeText(slept, 44100).find("at 19:32,"), std::string::npos) << sleptTakeText(slept, 44100);
}

int main(int argc, char** argv) { return runLayerTests(argc, argv, true); }
