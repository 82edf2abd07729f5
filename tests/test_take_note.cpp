// SPDX-License-Identifier: MIT
// The note that tells a take's format, read back as an earlier run, another
// program or a damaged file system may have left it. A note is believed only
// when it names a format the recorder records, exactly as the recorder
// writes it; anything else is no note at all, so that no take is ever read
// back in a format it was not recorded in.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "take_format.h"

namespace {

using namespace std::string_literals;

// 2026-12-07T11:02:33Z
constexpr int64_t began = 1796641353;
const std::string when = "began=2026-12-07T11:02:33Z";

std::string noteFor(const std::string& channels, const std::string& bits, const std::string& rate) {
    return "channels=" + channels + " bits=" + bits + " rate=" + rate + " " + when;
}

TEST(TakeNote, OnlyWhatTheRecorderRecordsIsBelieved) {
    struct Case {
        std::string text;
        std::optional<TakeNote> expected;
    };
    const std::string good = noteFor("2", "16", "44100");
    const Case cases[] = {
        // What the recorder writes, at every format it records.
        {good, TakeNote{2, 16, 44100, began, false}},
        {good + " saved=1", TakeNote{2, 16, 44100, began, true}},
        {noteFor("1", "24", "48000"), TakeNote{1, 24, 48000, began, false}},
        {noteFor("2", "32", "88200"), TakeNote{2, 32, 88200, began, false}},
        {noteFor("1", "16", "96000"), TakeNote{1, 16, 96000, began, false}},
        {noteFor("2", "24", "176400"), TakeNote{2, 24, 176400, began, false}},
        {noteFor("1", "32", "192000") + " saved=1", TakeNote{1, 32, 192000, began, true}},
        {"rate=44100 began=2026-12-07T11:02:33Z bits=16 channels=2", TakeNote{2, 16, 44100, began, false}},
        // Not a note at all.
        {"", std::nullopt},
        {"garbage", std::nullopt},
        {"\xff\xfe\x00\x01"s, std::nullopt},
        {"channels bits rate began", std::nullopt},
        {"==== ==", std::nullopt},
        // A field missing.
        {"bits=16 rate=44100 " + when, std::nullopt},
        {"channels=2 rate=44100 " + when, std::nullopt},
        {"channels=2 bits=16 " + when, std::nullopt},
        {"channels=2 bits=16 rate=44100", std::nullopt},
        {"channels=2 bits=16 rate=44100 began=", std::nullopt},
        {"channels= bits=16 rate=44100 " + when, std::nullopt},
        // A field twice: which one would be the take's?
        {"channels=1 " + good, std::nullopt},
        {"channels=2 " + good, std::nullopt},
        {good + " bits=24", std::nullopt},
        {good + " rate=44100", std::nullopt},
        {good + " " + when, std::nullopt},
        {good + " saved=1 saved=1", std::nullopt},
        // Channels and bits the recorder never records.
        {noteFor("0", "16", "44100"), std::nullopt},
        {noteFor("3", "16", "44100"), std::nullopt},
        {noteFor("-1", "16", "44100"), std::nullopt},
        {noteFor("65538", "16", "44100"), std::nullopt},  // 2 in 16 bits
        {noteFor("2", "8", "44100"), std::nullopt},
        {noteFor("2", "0", "44100"), std::nullopt},
        {noteFor("2", "-16", "44100"), std::nullopt},
        {noteFor("2", "4294967312", "44100"), std::nullopt},  // 16 in 32 bits
        {noteFor("2", "64", "44100"), std::nullopt},
        // Numbers only as the recorder writes them: whole, plain, in range.
        {noteFor("18446744073709551618", "16", "44100"), std::nullopt},
        {noteFor("2", "99999999999999999999999", "44100"), std::nullopt},
        {noteFor("2", "16", "18446744073709595716"), std::nullopt},  // 44100 in 64 bits
        {noteFor("02", "16", "44100"), std::nullopt},
        {noteFor("+2", "16", "44100"), std::nullopt},
        {noteFor("2", "16.0", "44100"), std::nullopt},
        {noteFor("2", "16", "44100.0"), std::nullopt},
        {noteFor("2", "16", "44100.5"), std::nullopt},
        {noteFor("2", "16", "4.41e4"), std::nullopt},
        {noteFor("2", "16", "044100"), std::nullopt},
        {noteFor("2", "16", "0x2710"), std::nullopt},
        {noteFor("2", "16", "-44100"), std::nullopt},
        {noteFor("2", "16", "44100Hz"), std::nullopt},
        // Rates beside the six, and far from them.
        {noteFor("2", "16", "0"), std::nullopt},
        {noteFor("2", "16", "1"), std::nullopt},
        {noteFor("2", "16", "8000"), std::nullopt},
        {noteFor("2", "16", "22050"), std::nullopt},
        {noteFor("2", "16", "44099"), std::nullopt},
        {noteFor("2", "16", "44101"), std::nullopt},
        {noteFor("2", "16", "47999"), std::nullopt},
        {noteFor("2", "16", "50000"), std::nullopt},
        {noteFor("2", "16", "191999"), std::nullopt},
        {noteFor("2", "16", "192001"), std::nullopt},
        {noteFor("2", "16", "384000"), std::nullopt},
        {noteFor("2", "16", "1000000"), std::nullopt},
        // A start the recorder never writes.
        {"channels=2 bits=16 rate=44100 began=2026-13-07T11:02:33Z", std::nullopt},
        {"channels=2 bits=16 rate=44100 began=2026-12-07T11:02:33", std::nullopt},
        {"channels=2 bits=16 rate=44100 began=2026-12-07T11:02:33+01:00", std::nullopt},
        {"channels=2 bits=16 rate=44100 began=yesterday", std::nullopt},
        // Marked saved only as the recorder marks it.
        {good + " saved=0", std::nullopt},
        {good + " saved=yes", std::nullopt},
        {good + " saved=", std::nullopt},
        // Words the recorder never writes, and spacing it never writes.
        {good + " device=3", std::nullopt},
        {good + " x", std::nullopt},
        {" " + good, std::nullopt},
        {good + " ", std::nullopt},
        {"channels=2  bits=16 rate=44100 " + when, std::nullopt},
        {"channels=2\tbits=16 rate=44100 " + when, std::nullopt},
        // Bytes no note holds: a NUL, a line break.
        {good + "\0"s, std::nullopt},
        {"channels=2\0 bits=16 rate=44100 "s + when, std::nullopt},
        {"channels=2 bits=16 rate=44100\0 "s + when, std::nullopt},
        {good + "\n", std::nullopt},
        {"channels=2\nbits=16 rate=44100 " + when, std::nullopt},
        {good + "\r", std::nullopt},
        // Far longer than any note: refused, whatever it holds.
        {good + " " + std::string(100000, 'x'), std::nullopt},
        {std::string(100000, ' ') + good, std::nullopt},
        {noteFor(std::string(100000, '0') + "2", "16", "44100"), std::nullopt},
    };
    for (const Case& row : cases) {
        const std::string shown = row.text.size() > 120 ? row.text.substr(0, 120) + "..." : row.text;
        const std::optional<TakeNote> parsed = parseTakeNote(row.text);
        EXPECT_EQ(parsed.has_value(), row.expected.has_value()) << '"' << shown << '"';
        if (!parsed || !row.expected) continue;
        EXPECT_EQ(parsed->channelCount, row.expected->channelCount) << shown;
        EXPECT_EQ(parsed->bitsPerSample, row.expected->bitsPerSample) << shown;
        EXPECT_EQ(parsed->sampleRate, row.expected->sampleRate) << shown;
        EXPECT_EQ(parsed->began, row.expected->began) << shown;
        EXPECT_EQ(parsed->saved, row.expected->saved) << shown;
    }
}

// What the recorder writes it reads back as written, at every format it records.
TEST(TakeNote, EveryRecordedFormatRoundTrips) {
    for (int16_t channels : {1, 2})
        for (int32_t bits : {16, 24, 32})
            for (double rate : {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0})
                for (bool saved : {false, true}) {
                    const TakeNote note{channels, bits, rate, began, saved};
                    const std::string text = formatTakeNote(note);
                    const std::optional<TakeNote> parsed = parseTakeNote(text);
                    ASSERT_TRUE(parsed.has_value()) << text;
                    EXPECT_EQ(formatTakeNote(*parsed), text);
                    EXPECT_EQ(parsed->channelCount, channels) << text;
                    EXPECT_EQ(parsed->bitsPerSample, bits) << text;
                    EXPECT_EQ(parsed->sampleRate, rate) << text;
                    EXPECT_EQ(parsed->began, began) << text;
                    EXPECT_EQ(parsed->saved, saved) << text;
                }
}

}  // namespace
