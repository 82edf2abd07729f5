// SPDX-License-Identifier: MIT
// Saving as FLAC, Ogg Opus and MP3: every format decoded by Debian's own
// tools and held against the take, and the dialog's types with the suffix
// rule as the Save button runs them.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <cmath>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "audio_check.h"
#include "files.h"
#include "files_testing.h"
#include "save.h"
#include "support.h"

namespace {

// `seconds` of a 1 kHz sine at half of full scale in every channel, as the
// recorder would have captured it.
std::string toneTake(int channels, int bits, int rate, double seconds) {
    std::string bytes;
    const double peak = 0.5 * static_cast<double>((int64_t{1} << (bits - 1)) - 1);
    for (int frame = 0; frame < static_cast<int>(rate * seconds); ++frame) {
        const auto sample = static_cast<int64_t>(std::lround(peak * std::sin(2 * M_PI * 1000.0 * frame / rate)));
        for (int channel = 0; channel < channels; ++channel)
            for (int byte = 0; byte < bits / 8; ++byte) bytes += static_cast<char>((sample >> (8 * byte)) & 0xFF);
    }
    return bytes;
}

double rms(const std::vector<double>& samples, size_t from, size_t to) {
    double sum = 0;
    for (size_t index = from; index < to; ++index) sum += samples[index] * samples[index];
    return std::sqrt(sum / static_cast<double>(to - from));
}

// Every format at every depth and channel count, at rates MPEG-1 has, and
// at rates past it (resampled for MP3; Opus always is). FLAC decodes to the
// take byte for byte; Opus and MP3, decoded as their tools do (trimming the
// pre-skip, and the encoder's delay and padding the LAME tag states), are
// the take's tone at its pitch, level and length, in its channels.
TEST_F(Recorder, EachFormatHoldsTheTakeAsItsToolsDecodeIt) {
    constexpr double seconds = 1.0;
    for (const SaveFormat format : {SaveFormat::flac, SaveFormat::opus, SaveFormat::mp3})
        for (const int bits : {16, 24, 32})
            for (const int channels : {1, 2})
                for (const int rate : {44100, 96000, 192000}) {
                    const std::string row = std::string(suffixOf(format)) + " " + std::to_string(bits) + " bits, " +
                                            std::to_string(channels) + " channels, " + std::to_string(rate) + " Hz";
                    const std::string take = toneTake(channels, bits, rate, seconds);
                    prepareTake(channels, bits, rate, take, static_cast<int32_t>(rate * seconds));
                    SaveRequest request;
                    request.settings = captureSettings;
                    request.frames = static_cast<int32_t>(rate * seconds);
                    request.format = format;
                    request.path = (folder.path() / ("take" + std::string(suffixOf(format)))).string();
                    request.mayReplace = true;
                    const SaveResult result = saveTakeAs(request);
                    ASSERT_EQ(endingOf(result), SaveEnding::whole) << row << ": error " << result.error;
                    if (format == SaveFormat::flac) {
                        EXPECT_EQ(output("flac -d -s -f --force-raw-format --endian=little --sign=signed -o take.raw "
                                         "take.flac"),
                                  "")
                            << row;
                        EXPECT_TRUE(readAll("take.raw") == take) << row << ": FLAC is lossless";
                        continue;
                    }
                    const std::string decode = format == SaveFormat::opus ? "opusdec --quiet take.opus take.wav"
                                                                          : "lame --quiet --decode take.mp3 take.wav";
                    ASSERT_EQ(output(decode + " && sox take.wav -t raw -e signed -b 32 take.raw"), "") << row;
                    EXPECT_EQ(output("soxi -c take.wav"), std::to_string(channels) + "\n") << row << ": its channels";
                    const double decodedRate = std::stod(output("soxi -r take.wav"));
                    const std::vector<double> decoded = channelSamples(readAll("take.raw"), 32, channels);
                    const std::vector<double> original = channelSamples(take, bits, channels);
                    EXPECT_NEAR(static_cast<double>(decoded.size()) / decodedRate, seconds, 0.010)
                        << row << ": its length";
                    // The middle, away from the encoders' ramps at either end.
                    const size_t from = decoded.size() / 5, to = decoded.size() * 4 / 5;
                    const std::vector<double> middle(decoded.begin() + static_cast<long>(from),
                                                     decoded.begin() + static_cast<long>(to));
                    EXPECT_NEAR(measureTone(middle, decodedRate).frequency, 1000, 2) << row << ": its pitch";
                    EXPECT_NEAR(20 * std::log10(rms(decoded, from, to) / rms(original, 0, original.size())), 0, 0.5)
                        << row << ": its level";
                }
}

// The type list offers WAV first, then FLAC, Opus and MP3; a name ending in
// one of their suffixes is saved in that format whichever type is
// selected, and any other gets the selected type's suffix. Each file carries
// the day the take began and the program's name where its format has tags;
// an existing file is replaced only after Yes.
TEST_F(Recorder, TheNameOrElseTheTypeChosenSaysTheFormat) {
    const std::string take = toneTake(2, 16, 44100, 0.1);
    struct Case {
        const char* type;
        const char* typed;
        const char* saved;
        const char* begins;  // the format's first bytes
        std::vector<std::string> tags;
    };
    const std::vector<std::string> vorbisTags = {"DATE=2026-12-07", "ENCODER=Ostrelle "};
    const std::vector<std::string> id3Tags = {"TYER", "2026", "TDAT", "0712", "TSSE", "Ostrelle "};
    const Case cases[] = {
        {".wav", "take", "take.wav", "RIFF", {}},
        {".wav", "take.WAV", "take.WAV.wav", "RIFF", {}},
        {".wav", "interview.mp3", "interview.mp3", "ID3", id3Tags},
        {".flac", "song", "song.flac", "fLaC", vorbisTags},
        {".flac", "kept.wav", "kept.wav", "RIFF", {}},
        {".opus", "talk", "talk.opus", "OggS", vorbisTags},
        {".opus", "talk.Opus", "talk.Opus.opus", "OggS", vorbisTags},
        {".mp3", "memo", "memo.mp3", "ID3", id3Tags},
        {".mp3", "memo.flac", "memo.flac", "fLaC", vorbisTags},
    };
    for (const Case& row : cases) {
        prepareTake(2, 16, 44100, take, 4410);
        ASSERT_TRUE(setFileNote(TakeReadFile, takeNoteKey, "channels=2 bits=16 rate=44100 began=2026-12-07T11:02:33Z"));
        forgetAnswers();
        plannedDialogTypes = {row.type};
        plannedDialogAnswers = {(folder.path() / row.typed).string()};
        EXPECT_TRUE(saveLastTake()) << row.typed;
        ASSERT_EQ(seenDialogs.size(), 1u);
        EXPECT_EQ(seenDialogs[0].filters,
                  (std::vector<std::string>{".wav (*.wav)", ".flac (*.flac)", ".opus (*.opus)", ".mp3 (*.mp3)"}));
        EXPECT_EQ(seenDialogs[0].selectedFilter, ".wav") << "WAV is preselected";
        ASSERT_EQ(seenBoxes.size(), 1u) << row.typed;
        EXPECT_EQ(seenBoxes[0].text, (folder.path() / row.saved).string() + "  was successfully saved");
        const std::string saved = readAll(row.saved);
        EXPECT_EQ(saved.rfind(row.begins, 0), 0u) << row.typed << " saved as " << row.saved;
        for (const std::string& tag : row.tags)
            EXPECT_NE(saved.find(tag), std::string::npos) << row.saved << ": " << tag;
    }

    // Replaced only after Yes, and then in the format its name says.
    for (const int answer : {QMessageBox::No, QMessageBox::Cancel, QMessageBox::Yes}) {
        forgetAnswers();
        plannedDialogAnswers = {(folder.path() / "song.flac").string()};
        plannedBoxAnswers = {answer};
        std::ofstream("song.flac") << "mine";
        EXPECT_EQ(saveLastTake(), answer == QMessageBox::Yes);
        EXPECT_EQ(seenBoxes[0].title, "Overwrite file?");
        EXPECT_EQ(readAll("song.flac").rfind(answer == QMessageBox::Yes ? "fLaC" : "mine", 0), 0u) << answer;
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"interview.mp3", "kept.wav", "memo.flac", "memo.mp3", "pelvar.temp",
                                              "song.flac", "take.WAV.wav", "take.wav", "talk.Opus.opus", "talk.opus"}))
        << "nothing beside what was saved";
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true); }
