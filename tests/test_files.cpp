// SPDX-License-Identifier: MIT
// Numbered file channels, observed where it matters: the writes that reach
// the kernel. `write` is interposed below so each block can be counted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "audio_check.h"
#include "files.h"
#include "files_testing.h"
#include "temp_folder.h"

namespace {
bool counting = false;
std::vector<size_t> kernelWrites;
// Every read and write the kernel is asked for, in order, as a signed size:
// reads negative.
std::vector<long> kernelCalls;
int kernelReads = 0;
}  // namespace

extern "C" ssize_t write(int descriptor, const void* data, size_t length) {
    if (counting && descriptor > 2) {
        kernelWrites.push_back(length);
        kernelCalls.push_back(static_cast<long>(length));
    }
    return syscall(SYS_write, descriptor, data, length);
}

extern "C" ssize_t read(int descriptor, void* data, size_t length) {
    if (counting && descriptor > 2) {
        kernelCalls.push_back(-static_cast<long>(length));
        ++kernelReads;
    }
    return syscall(SYS_read, descriptor, data, length);
}

namespace {

void writeFileBytes(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
}

class FileChannels : public ::testing::Test {
   protected:
    void SetUp() override {
        kernelWrites.clear();
        counting = true;
    }
    void TearDown() override {
        counting = false;
        closeAllFiles();
    }
    TempFolder folder;
};

// Each item size fills the buffer to one item short of full: nothing reaches
// the kernel until the next item does not fit, then one block goes, and the
// rest goes at close. The file holds the items' values, little-endian.
TEST_F(FileChannels, SmallItemsFillTheBufferToOneItemShortOfFull) {
    struct Case {
        int itemSize;
        size_t expectedBlock;
    };
    for (Case row : {Case{1, 4095}, Case{2, 4094}, Case{4, 4092}, Case{3, 4095}}) {
        kernelWrites.clear();
        ASSERT_NE(createFile(3, "items"), 0);
        const int itemsPerBlock = static_cast<int>(row.expectedBlock) / row.itemSize;
        std::string expected;
        for (int call = 0; call < 5000; ++call) {
            const uint32_t value = static_cast<uint32_t>(call) * 0x01010101u + 0x04030201u;
            char item[4];
            for (int byte = 0; byte < 4; ++byte) item[byte] = static_cast<char>(value >> (8 * byte));
            expected.append(item, static_cast<size_t>(row.itemSize));
            if (row.itemSize == 1) writeByte(3, static_cast<int>(value & 0xFF));
            if (row.itemSize == 2) writeWord(3, static_cast<int>(value & 0xFFFF));
            if (row.itemSize == 4) writeLong(3, static_cast<int32_t>(value));
            if (row.itemSize == 3) writeData(3, item, 3);
            if (call == itemsPerBlock - 1) {
                EXPECT_TRUE(kernelWrites.empty()) << "item size " << row.itemSize;
            } else if (call == itemsPerBlock) {
                EXPECT_EQ(kernelWrites, std::vector<size_t>{row.expectedBlock}) << "item size " << row.itemSize;
            }
        }
        EXPECT_TRUE(closeFile(3));
        const size_t total = 5000u * static_cast<size_t>(row.itemSize);
        EXPECT_EQ(kernelWrites.back(), total % row.expectedBlock)
            << "close writes the rest, item size " << row.itemSize;
        EXPECT_EQ(readAll("items"), expected) << "item size " << row.itemSize;
    }
}

TEST_F(FileChannels, LargeBlocksBypassTheBufferAfterWhatIsPending) {
    std::vector<char> block(4096, 'x');
    ASSERT_NE(createFile(1, "direct"), 0);
    EXPECT_EQ(writeData(1, block.data(), 4096), 4096);
    EXPECT_EQ(kernelWrites, std::vector<size_t>{4096});
    closeFile(1);
    EXPECT_EQ(kernelWrites, std::vector<size_t>{4096}) << "nothing may stay pending";

    kernelWrites.clear();
    ASSERT_NE(createFile(1, "direct"), 0);
    writeData(1, "abc", 3);
    writeData(1, block.data(), 4096);
    EXPECT_EQ(kernelWrites, (std::vector<size_t>{3, 4096}));
    closeFile(1);
    EXPECT_EQ(readAll("direct").substr(0, 4), "abcx");
}

TEST_F(FileChannels, ReusingANumberWritesOutTheFirstFileBeforeOpeningTheSecond) {
    ASSERT_NE(createFile(2, "first"), 0);
    writeLong(2, 5);
    writeString(2, "data");
    ASSERT_NE(createFile(2, "second"), 0);
    EXPECT_EQ(readAll("first"), std::string("\x05\x00\x00\x00"
                                            "data",
                                            8));
    // A failed open still closes what was there.
    writeWord(2, 0x4241);
    EXPECT_EQ(createFile(2, "no/such/folder/file"), 0);
    EXPECT_EQ(readAll("second"), "AB");
    EXPECT_EQ(writeWord(2, 1), 0) << "the number is free after a failed open";
}

TEST_F(FileChannels, CreatingEmptiesAnExistingFile) {
    writeFileBytes("big", std::string(1 << 20, 'z'));
    ASSERT_NE(createFile(1, "big"), 0);
    EXPECT_EQ(fileSize("big"), 0);
    closeFile(1);
    EXPECT_EQ(fileSize("big"), 0);
}

TEST_F(FileChannels, ReadWordSignExtendsAndReadsMissingBytesAsZero) {
    struct Case {
        std::string bytes;
        std::vector<int> words;
    };
    const Case cases[] = {
        {"\xFF\x7F", {32767, 0}},
        {"\xFF\xFF", {-1, 0}},
        {"\xFF", {255, 0}},
        {"", {0}},
        {"\x01\x02\x03\x04\x05", {0x0201, 0x0403, 5, 0}},
    };
    for (const Case& row : cases) {
        writeFileBytes("in", row.bytes);
        ASSERT_NE(openFileForReading(4, "in"), 0);
        for (size_t index = 0; index < row.words.size(); ++index)
            EXPECT_EQ(readWord(4), row.words[index]) << "word " << index << " of " << row.bytes.size() << " bytes";
        // The channel knows it met the end, and where; past it nothing more is read.
        EXPECT_TRUE(fileEnded(4)) << row.bytes.size() << " bytes";
        EXPECT_EQ(fileReadOffset(4), static_cast<int64_t>(row.bytes.size()));
        const int reads = kernelReads;
        for (int word = 0; word < 1000; ++word) EXPECT_EQ(readWord(4), 0);
        EXPECT_EQ(kernelReads, reads) << "reads past the end call the system";
        // A seek reads afresh.
        ASSERT_TRUE(seekFile(4, 0));
        EXPECT_FALSE(fileEnded(4));
        if (!row.bytes.empty()) {
            EXPECT_EQ(readWord(4), row.words[0]);
        }
        closeFile(4);
    }
    EXPECT_EQ(readWord(4), 0) << "a closed number reads 0";
    EXPECT_EQ(openFileForReading(4, "missing"), 0);
}

TEST_F(FileChannels, ReadsRefillAcrossBlockBoundaries) {
    std::string bytes;
    for (int value = 0; value < 5000; ++value)
        bytes.append({static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)});
    writeFileBytes("long", bytes + "\x2A");
    ASSERT_NE(openFileForReading(1, "long"), 0);
    for (int value = 0; value < 5000; ++value) {
        ASSERT_EQ(readWord(1), value);
        ASSERT_EQ(fileReadOffset(1), 2 * (value + 1));
    }
    EXPECT_FALSE(fileEnded(1)) << "a full block is not the end";
    EXPECT_EQ(readWord(1), 42);
    EXPECT_EQ(readWord(1), 0);
}

// Words copied as a block between two channels reach the kernel exactly as
// that many readWord and writeWord pairs do: the same bytes, and the same
// reads and writes at the same points, whatever is pending or left to read
// when the copy starts and wherever a file ends.
TEST_F(FileChannels, CopiedWordsReadAndWriteAsPairsDo) {
    std::string bytes(3 * 4096 + 37, '\0');
    for (size_t index = 0; index < bytes.size(); ++index) bytes[index] = static_cast<char>(index * 7 + index / 251);
    writeFileBytes("take", bytes);
    struct Case {
        const char* what;
        int skipped;  // where reading starts, so that the refills fall mid-word
        int pending;  // bytes written before the copy
        int64_t words;
        int64_t moved;  // fewer than asked where the file ends first
    };
    const Case cases[] = {
        {"from the start, a whole file", 0, 46, (3 * 4096 + 37) / 2, (3 * 4096 + 37) / 2},
        {"a refill in the middle of a word", 1, 46, 3000, 3000},
        {"a flush at the first word", 0, 4094, 10, 10},
        {"nothing pending, odd leftovers", 3, 0, 5000, 5000},
        // 37 bytes left: 18 words, then the last byte as a word of its own.
        {"past the end of the file", 4096 * 3, 46, 100, 19},
        {"a single word", 0, 46, 1, 1},
    };
    for (const Case& row : cases) {
        std::string outputs[2];
        std::vector<long> calls[2];
        for (int way = 0; way < 2; ++way) {
            const std::string name = "copy" + std::to_string(way);
            ASSERT_NE(openFileForReading(4, "take"), 0);
            ASSERT_NE(createFile(5, name.c_str()), 0);
            ASSERT_TRUE(seekFile(4, row.skipped));
            writeData(5, std::string(static_cast<size_t>(row.pending), 'h').data(), row.pending);
            kernelCalls.clear();
            if (way == 0) {
                for (int64_t word = 0; word < row.words; ++word) {
                    const int value = readWord(4);
                    if (value == 0 && fileEnded(4)) break;
                    writeWord(5, value);
                }
            } else {
                EXPECT_EQ(copyWords(4, 5, row.words), row.moved) << row.what;
            }
            calls[way] = kernelCalls;
            closeFile(4);
            closeFile(5);
            outputs[way] = readAll(name);
        }
        EXPECT_EQ(calls[1], calls[0]) << row.what;
        EXPECT_TRUE(outputs[1] == outputs[0]) << row.what;
        EXPECT_EQ(outputs[0].size(), static_cast<size_t>(row.pending + 2 * row.moved)) << row.what;
    }
}

TEST_F(FileChannels, WritingAfterReadingToTheEndAppends) {
    ASSERT_NE(createFile(5, "mixed"), 0);
    writeWord(5, 0x3231);
    EXPECT_EQ(readWord(5), 0) << "reading flushes and finds the end";
    writeWord(5, 0x3433);
    closeFile(5);
    EXPECT_EQ(readAll("mixed"), "1234");
}

TEST_F(FileChannels, NumbersThatNameNothingDoNothing) {
    EXPECT_TRUE(closeFile(6));
    EXPECT_EQ(writeLong(6, 1), 0);
    EXPECT_EQ(writeData(6, "x", 1), 0);
    ASSERT_NE(createFile(6, "empty"), 0);
    EXPECT_EQ(writeString(6, ""), 0);
    EXPECT_EQ(writeString(6, nullptr), 0);
    EXPECT_EQ(writeData(6, nullptr, 4), 0);
    EXPECT_EQ(writeData(6, "x", 0), 0);
    closeFile(6);
    EXPECT_TRUE(kernelWrites.empty());
}

TEST_F(FileChannels, HighNumbersGrowTheTableWithoutMovingTheLowOnes) {
    ASSERT_NE(createFile(1, "low"), 0);
    const void* low = channelRecordAddress(1);
    ASSERT_NE(createFile(40, "high"), 0);
    ASSERT_NE(createFile(300, "higher"), 0);
    EXPECT_EQ(channelRecordAddress(1), low);
    writeString(40, "forty");
    writeString(300, "three hundred");
    closeAllFiles();
    EXPECT_EQ(readAll("high"), "forty");
    EXPECT_EQ(readAll("higher"), "three hundred");
    EXPECT_EQ(writeWord(40, 1), 0);
}

TEST_F(FileChannels, FileSizeTellsMissingFromFolderFromFile) {
    writeFileBytes("five", "12345");
    writeFileBytes("zero", "");
    std::filesystem::create_directory("folder");
    EXPECT_EQ(fileSize("missing"), -1);
    EXPECT_EQ(fileSize(""), -1);
    EXPECT_EQ(fileSize(nullptr), -1);
    EXPECT_EQ(fileSize("zero"), 0);
    EXPECT_EQ(fileSize("five"), 5);
    EXPECT_EQ(fileSize("folder"), -2);
    EXPECT_EQ(fileSize("folder/"), -2);
    EXPECT_EQ(fileSize("/"), -2);
    std::filesystem::create_symlink("nowhere", "dangling");
    std::filesystem::create_symlink("five", "leading");
    EXPECT_EQ(fileSize("dangling"), -1) << "a link that leads nowhere has no size";
    EXPECT_EQ(fileSize("leading"), 5);
    // What a message needs to name a link as a link, wherever it leads.
    const std::pair<const char*, bool> links[] = {{"dangling", true}, {"leading", true}, {"five", false},
                                                  {"missing", false}, {"folder", false}, {"", false}};
    for (auto [name, link] : links) EXPECT_EQ(isSymbolicLink(name), link) << name;
    EXPECT_FALSE(isSymbolicLink(nullptr));
}

// The room left is that of the file system the open file is on, as the
// system counts it for an ordinary user: the take's own disk, wherever the
// program was started.
TEST_F(FileChannels, RoomLeftIsThatOfTheOpenFilesOwnFileSystem) {
    EXPECT_EQ(availableBytesBeside(7), -1) << "nothing open";
    const std::filesystem::path places[] = {folder.path(), "/dev/shm"};
    std::vector<int64_t> rooms;
    for (const std::filesystem::path& place : places) {
        const std::string name = (place / "ostrelle-room.test").string();
        ASSERT_NE(createFile(7, name.c_str()), 0) << place;
        const int64_t room = availableBytesBeside(7);
        // Other work on the machine writes meanwhile; a few megabytes tell nothing apart.
        const auto expected = static_cast<int64_t>(std::filesystem::space(place).available);
        EXPECT_NEAR(static_cast<double>(room), static_cast<double>(expected), 64.0 * (1 << 20)) << place;
        rooms.push_back(room);
        closeFile(7);
        std::filesystem::remove(name);
    }
    ASSERT_GT(std::abs(static_cast<double>(rooms[0] - rooms[1])), 256.0 * (1 << 20))
        << "two file systems with the same room prove nothing";
}

TEST(FilePart, IsWhatFollowsTheLastSeparator) {
    const std::pair<const char*, const char*> cases[] = {
        {"take.wav", "take.wav"},          {"/home/user/take.wav", "take.wav"},
        {"C:\\rec\\take.wav", "take.wav"}, {"folder/", ""},
        {"\"quoted.wav\"", "quoted.wav"},  {"a/b\"c/d.wav", "d.wav"},
        {"/x/\"name\".wav", ""},           {"", ""},
    };
    for (auto [path, part] : cases) EXPECT_EQ(getFilePart(path), part) << path;
    EXPECT_EQ(getFilePart(nullptr), "");
}

TEST_F(FileChannels, ProtectedCreatesLeaveOtherFilesAlone) {
    writeFileBytes("precious", "keep me");
    std::filesystem::create_symlink("precious", "pelvar.temp");
    EXPECT_EQ(createFile(1, "pelvar.temp", CreateFlags::refuseLinks), 0);
    EXPECT_EQ(readAll("precious"), "keep me");
    // A path the user chose may be a link.
    ASSERT_NE(createFile(2, "pelvar.temp"), 0);
    writeString(2, "new");
    closeFile(2);
    EXPECT_EQ(readAll("precious"), "new");

    // A file another process holds stays as it is.
    writeFileBytes("held", "another copy's take");
    FILE* holder = ::popen("exec flock held -c 'echo locked; sleep 1'", "r");
    ASSERT_NE(holder, nullptr);
    char line[16] = {};
    ASSERT_NE(std::fgets(line, sizeof line, holder), nullptr);
    EXPECT_EQ(createFile(1, "held", CreateFlags::exclusive), 0);
    EXPECT_EQ(errno, EWOULDBLOCK) << "held by another process";
    EXPECT_EQ(openExclusiveForReading(3, "held"), 0);
    EXPECT_EQ(errno, EWOULDBLOCK) << "held by another process";
    EXPECT_EQ(readAll("held"), "another copy's take");
    ::pclose(holder);
    // Once free it is ours, and stays ours across closes.
    ASSERT_NE(createFile(1, "held", CreateFlags::exclusive), 0);
    closeFile(1);
    EXPECT_EQ(readAll("held"), "");
    EXPECT_NE(std::system("flock -n held true"), 0) << "the lock outlives the channel";
    ASSERT_NE(createFile(1, "held", CreateFlags::exclusive), 0) << "a second take of our own";

    EXPECT_EQ(createFile(3, "held", CreateFlags::newOnly), 0) << "new-only refuses an existing name";

    // A take left by an earlier run is held for reading, never emptied; no
    // link, pipe, folder or missing file is opened.
    writeFileBytes("left", "an earlier run's take");
    ASSERT_NE(openExclusiveForReading(4, "left"), 0);
    EXPECT_EQ(readAll("left"), "an earlier run's take");
    EXPECT_NE(std::system("flock -n left true"), 0) << "held as createFile holds";
    EXPECT_EQ(readWord(4), 'a' + ('n' << 8));
    ASSERT_EQ(::mkfifo("pipe", 0600), 0);
    std::filesystem::create_directory("folder");
    for (const char* name : {"pelvar.temp", "pipe", "folder", "missing"})
        EXPECT_EQ(openExclusiveForReading(5, name), 0) << name;
}

// What lies under a name, as far as taking it could change it.
struct Snapshot {
    bool exists = false;
    mode_t mode = 0;
    uid_t owner = 0;
    std::string bytes;
    bool operator==(const Snapshot&) const = default;
    friend void PrintTo(const Snapshot& file, std::ostream* out) {
        if (!file.exists) *out << "nothing";
        if (file.exists)
            *out << "mode " << std::oct << file.mode << std::dec << ", uid " << file.owner << ", \"" << file.bytes
                 << '"';
    }
};
Snapshot snapshot(const char* name) {
    struct stat status {};
    if (::lstat(name, &status) != 0) return {};
    return {true, status.st_mode, status.st_uid, S_ISREG(status.st_mode) ? readAll(name) : std::string()};
}

// The take's file holds what the user recorded. Only a file of the user's
// own with no other name is taken, for writing or for reading back: whatever
// another user could have put under the name, or could still reach through
// a second name, is refused with a cause the caller can tell apart, and is
// left exactly as it was.
TEST_F(FileChannels, OnlyTheUsersOwnFileIsTaken) {
    constexpr uid_t anotherUser = 1001;
    // Made by the user, then given away, as a second user could make it.
    auto foreign = [](mode_t mode) {
        return [mode] {
            writeFileBytes("pelvar.temp", "another user's take");
            return ::chmod("pelvar.temp", mode) == 0 && ::chown("pelvar.temp", anotherUser, anotherUser) == 0;
        };
    };
    struct Case {
        const char* what;
        std::function<bool()> plant;
        int error;  // 0: taken
        bool needsRoot = false;
    };
    const Case cases[] = {
        {"another user's file, 0666", foreign(0666), EPERM, true},
        {"another user's file, 0644", foreign(0644), EPERM, true},
        {"another user's file, 0600", foreign(0600), EPERM, true},
        {"a second name of the user's file",
         [] {
             writeFileBytes("precious", "keep me");
             return ::link("precious", "pelvar.temp") == 0;
         },
         EPERM},
        {"a link to the user's file",
         [] {
             writeFileBytes("precious", "keep me");
             return ::symlink("precious", "pelvar.temp") == 0;
         },
         ELOOP},
        {"a link that leads nowhere", [] { return ::symlink("nowhere", "pelvar.temp") == 0; }, ELOOP},
        {"a named pipe", [] { return ::mkfifo("pelvar.temp", 0600) == 0; }, EPERM},
        {"the user's own file, 0644",
         [] {
             writeFileBytes("pelvar.temp", "an earlier take");
             return ::chmod("pelvar.temp", 0644) == 0;
         },
         0},
        {"the user's own file, 0666",
         [] {
             writeFileBytes("pelvar.temp", "an earlier take");
             return ::chmod("pelvar.temp", 0666) == 0;
         },
         0},
    };
    const bool root = ::geteuid() == 0;
    for (const Case& row : cases) {
        if (row.needsRoot && !root) continue;
        for (const char* name : {"pelvar.temp", "precious", "nowhere"}) ::unlink(name);
        ASSERT_TRUE(row.plant()) << row.what;
        const Snapshot planted = snapshot("pelvar.temp");
        const Snapshot target = snapshot("precious");
        if (row.error == 0) {
            ASSERT_NE(openExclusiveForReading(3, "pelvar.temp"), 0) << row.what;
            EXPECT_EQ(snapshot("pelvar.temp"), planted) << row.what << ": reading takes nothing away";
            closeFile(3);
            ASSERT_NE(createFile(1, "pelvar.temp", CreateFlags::exclusive), 0) << row.what;
            closeFile(1);
            EXPECT_EQ(readAll("pelvar.temp"), "") << row.what << ": emptied for the next take";
            EXPECT_EQ(snapshot("pelvar.temp").mode & 07777, 0600u) << row.what << ": a take is the user's alone";
            continue;
        }
        errno = 0;
        EXPECT_EQ(createFile(1, "pelvar.temp", CreateFlags::exclusive), 0) << row.what;
        EXPECT_EQ(errno, row.error) << row.what;
        errno = 0;
        EXPECT_EQ(openExclusiveForReading(3, "pelvar.temp"), 0) << row.what;
        EXPECT_EQ(errno, row.error) << row.what;
        EXPECT_EQ(snapshot("pelvar.temp"), planted) << row.what << ": left as it was";
        EXPECT_EQ(snapshot("precious"), target) << row.what << ": what it leads to left as it was";
        EXPECT_FALSE(snapshot("nowhere").exists) << row.what << ": nothing made where a link leads";
    }
    if (!root) GTEST_SKIP() << "another user's files take root to make; those rows did not run";
}

// The take's file is made for the user alone whatever the umask, since it
// holds a recording that may never be saved; a saved file is a document and
// follows the umask, with a hidden name or none until it is published.
TEST_F(FileChannels, NewTakesAreTheUsersAloneWhileSavedFilesFollowTheUmask) {
    struct Case {
        mode_t umask;
        mode_t saved;
    };
    for (Case row : {Case{022, 0644}, Case{077, 0600}, Case{0277, 0400}, Case{0, 0666}}) {
        const mode_t previous = ::umask(row.umask);
        ::unlink("pelvar.temp");
        ASSERT_NE(createFile(1, "pelvar.temp", CreateFlags::refuseLinks | CreateFlags::exclusive), 0) << row.umask;
        closeFile(1);
        EXPECT_EQ(snapshot("pelvar.temp").mode & 07777, 0600u) << "umask " << std::oct << row.umask;
        for (bool hidden : {false, true}) {
            refuseUnnamedFilesForTesting(hidden);
            ::unlink("take.wav");
            ASSERT_NE(createFileFor(2, "take.wav"), 0);
            writeString(2, "saved");
            ASSERT_EQ(publishFile(2, "take.wav", false), 0);
            EXPECT_EQ(snapshot("take.wav").mode & 07777, row.saved)
                << "umask " << std::oct << row.umask << (hidden ? ", hidden name" : ", unnamed");
        }
        refuseUnnamedFilesForTesting(false);
        ::umask(previous);
    }
}

TEST_F(FileChannels, SavedFilesTakeTheirNameOnlyOnceComplete) {
    auto names = [] {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator("."))
            found.insert(entry.path().filename().string());
        return found;
    };
    // Where the file system has no unnamed files, a hidden one stands in.
    for (bool hidden : {false, true}) {
        refuseUnnamedFilesForTesting(hidden);
        std::filesystem::remove("out");
        writeFileBytes("earlier", "earlier");
        ASSERT_NE(createFileFor(2, "out"), 0) << hidden;
        writeString(2, "new");
        const std::set<std::string> during = names();
        EXPECT_EQ(during.size(), hidden ? 2u : 1u) << hidden;
        EXPECT_EQ(publishFile(2, "earlier", false), EEXIST) << hidden;
        EXPECT_EQ(readAll("earlier"), "earlier") << hidden;
        EXPECT_EQ(names(), std::set<std::string>{"earlier"}) << hidden << ": nothing left of the refused one";

        ASSERT_NE(createFileFor(2, "out"), 0);
        writeString(2, "new");
        EXPECT_EQ(publishFile(2, "out", false), 0) << hidden;
        namespace fs = std::filesystem;
        const fs::perms chosen = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
        fs::permissions("earlier", chosen);
        ASSERT_NE(createFileFor(2, "earlier"), 0);
        writeString(2, "newer");
        EXPECT_EQ(publishFile(2, "earlier", true), 0) << hidden;
        EXPECT_EQ(fs::status("earlier").permissions(), chosen) << hidden << ": a file replaced keeps its permissions";
        ASSERT_NE(createFileFor(2, "out"), 0);
        writeString(2, "discarded");
        discardFile(2);
        EXPECT_EQ(readAll("out"), "new") << hidden;
        EXPECT_EQ(readAll("earlier"), "newer") << hidden;
        EXPECT_EQ(names(), (std::set<std::string>{"earlier", "out"})) << hidden;

        // Killed while writing, an unnamed file goes with the process.
        const pid_t child = ::fork();
        if (child == 0) {
            createFileFor(2, "killed");
            writeString(2, "partial");
            syncFileData(2);
            ::raise(SIGKILL);
        }
        ASSERT_GT(child, 0);
        ::waitpid(child, nullptr, 0);
        EXPECT_EQ(names().size(), hidden ? 3u : 2u) << hidden;
    }
    refuseUnnamedFilesForTesting(false);
}

}  // namespace
