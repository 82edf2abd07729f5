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

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
}  // namespace

extern "C" ssize_t write(int descriptor, const void* data, size_t length) {
    if (counting && descriptor > 2) kernelWrites.push_back(length);
    return syscall(SYS_write, descriptor, data, length);
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
    for (int value = 0; value < 5000; ++value) ASSERT_EQ(readWord(1), value);
    EXPECT_EQ(readWord(1), 42);
    EXPECT_EQ(readWord(1), 0);
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
    EXPECT_EQ(openExclusiveForReading(3, "held"), 0);
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
