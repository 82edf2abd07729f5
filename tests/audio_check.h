// SPDX-License-Identifier: MIT
// Reading back raw little-endian PCM and measuring a sine tone in it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline std::string readAll(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// What a command prints, for the readers other programs use.
inline std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char chunk[512];
        while (size_t count = std::fread(chunk, 1, sizeof chunk, pipe)) text.append(chunk, count);
        ::pclose(pipe);
    }
    return text;
}

// One channel of interleaved little-endian signed samples, scaled to -1 .. 1.
inline std::vector<double> channelSamples(const std::string& bytes, int bits, int channels, int channel = 0) {
    const size_t width = static_cast<size_t>(bits / 8);
    const size_t frame = width * static_cast<size_t>(channels);
    std::vector<double> samples;
    for (size_t offset = width * static_cast<size_t>(channel); offset + width <= bytes.size(); offset += frame) {
        uint32_t raw = 0;
        for (size_t byte = 0; byte < width; ++byte)
            raw |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + byte])) << (8 * byte);
        int64_t value = raw;
        if (raw & (1u << (bits - 1))) value -= int64_t{1} << bits;  // sign sits in the top byte
        samples.push_back(static_cast<double>(value) / static_cast<double>(int64_t{1} << (bits - 1)));
    }
    return samples;
}

struct ToneMeasure {
    double frequency = 0;
    double amplitude = 0;
};

// From rising zero crossings between the first and the last one.
inline ToneMeasure measureTone(const std::vector<double>& samples, double rate) {
    ToneMeasure measure;
    long first = -1, last = -1, crossings = 0;
    for (size_t index = 1; index < samples.size(); ++index) {
        measure.amplitude = std::max(measure.amplitude, std::fabs(samples[index]));
        if (samples[index - 1] < 0 && samples[index] >= 0) {
            if (first < 0)
                first = static_cast<long>(index);
            else
                ++crossings;
            last = static_cast<long>(index);
        }
    }
    if (crossings > 0) measure.frequency = crossings * rate / static_cast<double>(last - first);
    return measure;
}

// How strongly one frequency sounds in the samples: the amplitude of its
// sine, near 0 where it is absent (Goertzel's filter).
inline double toneStrength(const std::vector<double>& samples, double rate, double frequency) {
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / rate);
    double previous = 0, beforeThat = 0;
    for (double sample : samples) {
        const double current = sample + coefficient * previous - beforeThat;
        beforeThat = previous;
        previous = current;
    }
    const double power = previous * previous + beforeThat * beforeThat - coefficient * previous * beforeThat;
    return samples.empty() ? 0 : 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}
