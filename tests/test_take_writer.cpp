// SPDX-License-Identifier: MIT
// The take writer, seen from outside: through write, fsync and fdatasync of
// this program's own, a disk that stalls and a record of every sync, while
// PortAudio captures from the private sound server or an ALSA file device.
// The interposers stand in for the C library's in this binary alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "audio_check.h"
#include "capture_fixture.h"
#include "save.h"

namespace {

// A disk that stalls: while set, one large write to a regular file in every
// 2.5 s waits 1.5 s first, as a busy USB stick or network folder would.
std::atomic<bool> stallingDisk{false};
std::atomic<int64_t> lastStall{0};

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

extern "C" ssize_t write(int descriptor, const void* data, size_t length) {
    struct stat status {};
    if (stallingDisk.load() && length >= 1024 && ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        const int64_t now = nowNanoseconds();
        int64_t last = lastStall.load();
        if (now - last >= 2'500'000'000 && lastStall.compare_exchange_strong(last, now))
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    return syscall(SYS_write, descriptor, data, length);
}

namespace {

// Every fdatasync the program makes: when, and from which thread.
struct SyncCall {
    int64_t nanoseconds;
    pid_t thread;
};
std::mutex syncCallsGuard;
std::vector<SyncCall> syncCalls;

// Every fsync: whether the file carried the take's note then, and how many
// bytes it held.
struct FullSync {
    bool noted;
    int64_t bytes;
};
std::vector<FullSync> fullSyncs;

}  // namespace

extern "C" int fsync(int descriptor) {
    struct stat status {};
    char note[256];
    const bool noted = ::fgetxattr(descriptor, takeNoteKey, note, sizeof note) > 0;
    const int64_t bytes = ::fstat(descriptor, &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
    {
        std::lock_guard<std::mutex> lock(syncCallsGuard);
        fullSyncs.push_back({noted, bytes});
    }
    return static_cast<int>(syscall(SYS_fsync, descriptor));
}

extern "C" int fdatasync(int descriptor) {
    {
        std::lock_guard<std::mutex> lock(syncCallsGuard);
        syncCalls.push_back({nowNanoseconds(), static_cast<pid_t>(syscall(SYS_gettid))});
    }
    return static_cast<int>(syscall(SYS_fdatasync, descriptor));
}

namespace {

std::atomic<int64_t> longestCallback{0};

// The recorder's own callback, timed.
int timedCallback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                  PaStreamCallbackFlags flags, void* data) {
    const int64_t start = nowNanoseconds();
    int result = captureCallback(input, output, frames, time, flags, data);
    const int64_t spent = nowNanoseconds() - start;
    if (spent > longestCallback.load()) longestCallback.store(spent);
    return result;
}

TEST_F(Capture, StallingDiskNeitherHoldsUpTheCallbackNorLosesAudio) {
    int device = deviceNamed("ostrelle_paced");
    ASSERT_GE(device, 0) << "the paced ALSA file device is not listed";
    const std::string input = randomBytes(44100 * 4 * 20, 11);
    std::ofstream(pacedDeviceInput(), std::ios::binary | std::ios::trunc) << input;
    useSettings(2, 16, 44100, device);
    PaStream* stream = nullptr;
    ASSERT_EQ(Pa_OpenStream(&stream, &captureFormat.inputParameters, nullptr, 44100, paFramesPerBufferUnspecified,
                            paNoFlag, timedCallback, callbackContext(engine)),
              paNoError);
    adoptStreamForTesting(engine, stream);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    ASSERT_TRUE(waitForAudio(engine));

    longestCallback.store(0);
    lastStall.store(0);
    stallingDisk.store(true);
    // Two seconds asked for, which the writer's room for a stalled write
    // doubles: the take goes round the ring twice, written from where it lies.
    setTakeRingBytesForTesting(engine, 44100 * 4 * 2);
    // Judged by what the device delivered, not by the clock.
    const int64_t deliveredBeforeTake = framesDelivered(engine);
    ASSERT_TRUE(beginTake());
    const int64_t deliveredOnceArmed = framesDelivered(engine);
    waitUntil([&] { return framesDelivered(engine) - deliveredOnceArmed > 44100 * 8; }, 30000);
    const int64_t deliveredBeforeEnd = framesDelivered(engine);
    const TakeOutcome take = endTake();
    const int64_t deliveredOnceEnded = framesDelivered(engine);
    stallingDisk.store(false);

    ASSERT_TRUE(saveTake((folder.path() / "stalled.wav").string()).saved);
    const std::string data = readAll("stalled.wav").substr(46);
    const int64_t frames = static_cast<int64_t>(data.size()) / 4;
    ASSERT_GT(deliveredBeforeEnd - deliveredOnceArmed, 44100 * 4) << "the device delivered too little to judge";
    // All that came while the take was armed, less a buffer caught at its
    // end, and nothing from outside it.
    EXPECT_GE(frames, deliveredBeforeEnd - deliveredOnceArmed - 44100 / 20);
    EXPECT_LE(frames, deliveredOnceEnded - deliveredBeforeTake);
    ASSERT_GE(data.size(), 64u);
    const size_t start = input.find(data.substr(0, 64));
    ASSERT_NE(start, std::string::npos) << "the take begins with the device's bytes";
    EXPECT_TRUE(input.compare(start, data.size(), data) == 0)
        << "the take is one unbroken stretch of the device's bytes";
    EXPECT_EQ(take.framesLost, 0);
    EXPECT_LT(longestCallback.load(), 50'000'000) << "no callback waits for the disk";
}

// The threads of this process, by id.
std::set<pid_t> ownThreads() {
    std::set<pid_t> threads;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        threads.insert(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
    return threads;
}

TEST_F(Capture, TakeWriterWakesRarelyAndMakesTheTakeDurableEveryTwoSeconds) {
    int server = deviceNamed(soundDevice());
    ASSERT_GE(server, 0);
    useSettings(2, 32, 192000, server);
    ASSERT_EQ(openCaptureStream(), StreamOpening::opened);
    ASSERT_TRUE(waitForAudio(engine));
    const std::set<pid_t> before = ownThreads();
    {
        std::lock_guard<std::mutex> lock(syncCallsGuard);
        syncCalls.clear();
        fullSyncs.clear();
    }
    ASSERT_TRUE(beginTake());
    const int64_t started = nowNanoseconds();
    std::vector<pid_t> begun;
    for (pid_t thread : ownThreads())
        if (!before.count(thread)) begun.push_back(thread);
    ASSERT_EQ(begun.size(), 1u) << "Record starts one writer thread";
    const pid_t writer = begun[0];
    // The writer's own rounds, not the kernel's count of its sleeps: on a
    // loaded machine that also counts waits for the disk and for memory.
    const int64_t roundsAtStart = takeWriterRounds(engine);
    // Six seconds of the take, as the device delivers them.
    ASSERT_TRUE(waitUntil([&] { return capture().framesCaptured() > 192000 * 6; }, 30000));
    const int64_t ended = nowNanoseconds();
    const int64_t woken = takeWriterRounds(engine) - roundsAtStart;
    endTake();
    EXPECT_GT(capture().framesCaptured(), 192000 * 6);
    EXPECT_GT(woken, 0) << "the writer keeps taking rounds while the take runs";
    // Twice a second, and one more for a round under way as the count began.
    EXPECT_LE(woken, 2.0 * static_cast<double>(ended - started) / 1e9 + 1) << "the writer wakes twice a second";

    std::lock_guard<std::mutex> lock(syncCallsGuard);
    EXPECT_TRUE(std::any_of(fullSyncs.begin(), fullSyncs.end(), [](const FullSync& sync) {
        return sync.noted && sync.bytes == 0;
    })) << "the take's format is on disk before its first frame";
    int64_t previous = started;
    for (const SyncCall& call : syncCalls) {
        EXPECT_EQ(call.thread, writer) << "only the writer syncs, never the audio thread";
        if (call.nanoseconds > ended) break;
        EXPECT_LE(call.nanoseconds - previous, 2'000'000'000) << "a sync at least every 2 s";
        previous = call.nanoseconds;
    }
    EXPECT_LE(ended - previous, 2'000'000'000) << "a sync at least every 2 s, " << syncCalls.size() << " in all";
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true, writeAlsaFileDevice); }
