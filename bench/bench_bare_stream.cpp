// SPDX-License-Identifier: MIT
// The floor for the cost of capture: a PortAudio input stream opened as the
// recorder opens its own (the first capture device it would list, 0.05 s
// suggested latency, the buffer size left to PortAudio, and the scheduling
// the recorder asks for: real-time for ALSA's callback thread) with a
// callback that does nothing.
// Usage: bench_bare_stream CHANNELS BITS RATE SECONDS
// Prints the device's name, then "streaming" once the stream has started.
#include <pa_linux_alsa.h>
#include <portaudio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

int nothing(const void*, void*, unsigned long, const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void*) {
    return paContinue;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s CHANNELS BITS RATE SECONDS\n", argv[0]);
        return 2;
    }
    const int bits = std::atoi(argv[2]);
    if (Pa_Initialize() != paNoError) return 1;
    PaStreamParameters input{};
    input.device = paNoDevice;
    for (int index = 0; index < Pa_GetDeviceCount() && input.device == paNoDevice; ++index)
        if (Pa_GetDeviceInfo(index)->maxInputChannels >= 1) input.device = index;
    if (input.device == paNoDevice) return 1;
    input.channelCount = std::atoi(argv[1]);
    input.sampleFormat = bits == 32 ? paInt32 : bits == 24 ? paInt24 : paInt16;
    input.suggestedLatency = 0.05;
    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, &input, nullptr, std::atof(argv[3]), paFramesPerBufferUnspecified, paNoFlag, nothing,
                      nullptr) != paNoError)
        return 1;
    if (Pa_GetHostApiInfo(Pa_GetDeviceInfo(input.device)->hostApi)->type == paALSA)
        PaAlsa_EnableRealtimeScheduling(stream, 1);
    if (Pa_StartStream(stream) != paNoError) return 1;
    std::printf("device %s\nstreaming\n", Pa_GetDeviceInfo(input.device)->name);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[4])));
    Pa_StopStream(stream);
    Pa_CloseStream(stream);
    Pa_Terminate();
}
