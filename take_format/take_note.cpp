// SPDX-License-Identifier: MIT
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

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

std::optional<int64_t> number(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

std::string formatTakeNote(const TakeNote& note) {
    char text[96];
    std::snprintf(text, sizeof text, "channels=%d bits=%d rate=%lld began=%s%s", note.channelCount, note.bitsPerSample,
                  static_cast<long long>(std::llround(note.sampleRate)), utcText(note.began).c_str(),
                  note.saved ? " saved=1" : "");
    return text;
}

std::optional<TakeNote> parseTakeNote(const std::string& text) {
    std::optional<int64_t> channels, bits, rate, began;
    bool saved = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        start = end + 1;
        const size_t equals = word.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = word.substr(0, equals), value = word.substr(equals + 1);
        if (key == "channels") channels = number(value);
        if (key == "bits") bits = number(value);
        if (key == "rate") rate = number(value);
        if (key == "began") began = utcSeconds(value);
        if (key == "saved") saved = value == "1";
    }
    // A format the recorder cannot record cannot be read back correctly either.
    if (!channels || !bits || !rate || !began) return std::nullopt;
    if (*channels < 1 || *channels > 2 || (*bits != 16 && *bits != 24 && *bits != 32) || *rate < 1 || *rate > 1000000)
        return std::nullopt;
    return TakeNote{static_cast<int16_t>(*channels), static_cast<int32_t>(*bits), static_cast<double>(*rate), *began,
                    saved};
}
