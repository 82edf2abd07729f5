// SPDX-License-Identifier: MIT
// One save of a take through the save's own function, as the Save button
// runs it but without a window, so that bench/save_formats.py can time it as
// a whole process beside Debian's own encoders. The progress callback
// formats the title the window would show, as the Save button's does; the
// window's hand-overs to the desktop are left out.
// Usage: bench_save_format wav|flac|opus|mp3 TAKE CHANNELS BITS RATE OUTPUT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files.h"
#include "files_testing.h"
#include "save.h"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s wav|flac|opus|mp3 TAKE CHANNELS BITS RATE OUTPUT\n", argv[0]);
        return 2;
    }
    SaveRequest request;
    request.settings.channelCount = static_cast<int16_t>(std::atoi(argv[3]));
    request.settings.bitsPerSample = std::atoi(argv[4]);
    request.settings.sampleRate = std::atof(argv[5]);
    request.format = saveTargetFor(std::string("take.") + argv[1], SaveFormat::wav).format;
    request.path = argv[6];
    request.mayReplace = true;
    request.date = "2026-12-07";
    request.software = "Ostrelle";
    if (openFileForReading(TakeReadFile, argv[2]) == 0) return 1;
    request.frames =
        openFileSize(TakeReadFile) / bytesPerFrameFor(request.settings.bitsPerSample, request.settings.channelCount);
    int blocks = 0;
    char title[48] = "";
    request.progress = [&blocks, &title] {
        std::snprintf(title, sizeof title, " Wait...Memory Decode : %d", ++blocks + 974);
        return true;
    };
    const SaveResult result = saveTakeAs(request);
    std::printf("last title: %s\n", title);
    // The process's own peak, which a parent's wait4 cannot tell apart from
    // the parent's size at the fork.
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[128];
        while (std::fgets(line, sizeof line, status))
            if (std::string(line).starts_with("VmHWM:")) std::printf("peak resident: %s", line + 6);
        std::fclose(status);
    }
    if (endingOf(result) == SaveEnding::whole) return 0;
    std::fprintf(stderr, "not saved: error %d\n", result.error);
    return 1;
}
