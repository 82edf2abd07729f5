// SPDX-License-Identifier: MIT
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <string>

#include "take_format.h"

namespace {

// "2026-12-07T11:02:33Z": the take's start in UTC, so that the note reads
// the same wherever the take is read back.
std::string utcText(int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32] = "";
    if (::gmtime_r(&time, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::optional<int64_t> utcSeconds(const std::string& text) {
    std::tm parts{};
    char zone = '\0';
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &zone) != 7)
        return std::nullopt;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const int64_t seconds = static_cast<int64_t>(::timegm(&parts));
    // Only the exact form written above: anything else is not this recorder's note.
    if (utcText(seconds) != text) return std::nullopt;
    return seconds;
}

// A number only as formatTakeNote writes one: decimal digits with no sign,
// no leading zero and nothing after them, within 64 bits.
std::optional<int64_t> number(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
    if (std::to_string(value) != text) return std::nullopt;
    return value;
}

// The note is written into a buffer this long, its ending NUL included;
// nothing as long is one.
constexpr size_t longestNote = 96;

// The formats the window offers, and so the only ones a take is recorded in.
bool isRecordedFormat(int64_t channels, int64_t bits, int64_t rate) {
    auto offered = [](const auto& choices, int64_t value) {
        return std::any_of(std::begin(choices), std::end(choices),
                           [value](auto choice) { return static_cast<int64_t>(choice) == value; });
    };
    return offered(channelChoices, channels) && offered(bitChoices, bits) && offered(rateChoices, rate);
}

// The note's words by key: words apart by one space, each "key=value",
// each key once. Nothing when the text is not so.
std::optional<std::map<std::string, std::string>> noteFields(const std::string& text) {
    std::map<std::string, std::string> fields;
    for (size_t start = 0;;) {
        const size_t end = std::min(text.find(' ', start), text.size());
        const std::string word = text.substr(start, end - start);
        const size_t equals = word.find('=');
        if (equals == std::string::npos || !fields.emplace(word.substr(0, equals), word.substr(equals + 1)).second)
            return std::nullopt;
        if (end == text.size()) return fields;
        start = end + 1;
    }
}

}  // namespace

std::string formatTakeNote(const TakeNote& note) {
    char text[longestNote];
    std::snprintf(text, sizeof text, "channels=%d bits=%d rate=%lld began=%s%s", note.channelCount, note.bitsPerSample,
                  static_cast<long long>(std::llround(note.sampleRate)), utcText(note.began).c_str(),
                  note.saved ? " saved=1" : "");
    return text;
}

std::optional<TakeNote> parseTakeNote(const std::string& text) {
    // A take read back in a format it was not recorded in is noise, and a
    // note another program or a damaged file wrote can name anything: only a
    // note exactly as formatTakeNote writes it is believed.
    if (text.size() >= longestNote) return std::nullopt;
    const std::optional<std::map<std::string, std::string>> fields = noteFields(text);
    if (!fields) return std::nullopt;
    // The four fields and, once saved, "saved=1": no other words.
    const bool saved = fields->count("saved") == 1;
    if (fields->size() != (saved ? 5u : 4u) || (saved && fields->at("saved") != "1")) return std::nullopt;
    for (const char* key : {"channels", "bits", "rate", "began"})
        if (fields->count(key) == 0) return std::nullopt;
    const std::optional<int64_t> channels = number(fields->at("channels")), bits = number(fields->at("bits")),
                                 rate = number(fields->at("rate")), began = utcSeconds(fields->at("began"));
    if (!channels || !bits || !rate || !began || !isRecordedFormat(*channels, *bits, *rate)) return std::nullopt;
    return TakeNote{static_cast<int16_t>(*channels), static_cast<int32_t>(*bits), static_cast<double>(*rate), *began,
                    saved};
}
