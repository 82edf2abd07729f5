// SPDX-License-Identifier: MIT
// The command line: help, version, and saving an unsaved take without a
// window. None of it opens a display or reads a settings file.
#include <cstdio>
#include <cstring>
#include <string>

#include "app_internal.h"
#include "files.h"
#include "wav.h"

namespace {

constexpr const char* usage =
    "Usage: ostrelle [--recover NAME | --help | --version]\n"
    "Records sound from a capture device in a window and saves it as a WAV file.\n"
    "\n"
    "  --recover NAME  save the unsaved take that pelvar.temp in this folder holds\n"
    "                  as NAME (.wav is added unless NAME ends in it), without a\n"
    "                  window; an existing file is never replaced\n"
    "  --help          show this help and exit\n"
    "  --version       show the version and exit\n";

int refuse(const std::string& reason) {
    std::fprintf(stderr, "ostrelle: %s\n", reason.c_str());
    return 1;
}

std::string whyNothingToRecover(UnsavedState state) {
    const std::string name = tempCaptureName;
    switch (state) {
        case UnsavedState::missing: return "nothing to recover: there is no " + name + " in this folder";
        case UnsavedState::noNote:
            return "nothing to recover: " + name + " carries no note of its format, so it cannot be read back";
        case UnsavedState::saved: return "nothing to recover: the take in " + name + " was saved already";
        case UnsavedState::tooShort: return "nothing to recover: " + name + " holds no whole frame";
        case UnsavedState::held: return "another copy of ostrelle holds " + name + ", so it was left alone";
        case UnsavedState::found: break;
    }
    return {};
}

int recoverTake(const char* name) {
    if (*name == '\0') return refuse("--recover needs a file name");
    const std::string path = withWavSuffix(name);
    const UnsavedTake unsaved = findUnsavedTake();
    if (unsaved.state != UnsavedState::found) return refuse(whyNothingToRecover(unsaved.state));
    if (fileSize(path.c_str()) != -1) return refuse(path + " already exists, so nothing was saved");
    const TakeToSave take = unsavedTakeToSave(unsaved);
    SaveRequest request;
    request.settings = take.settings;
    request.frames = take.frames;
    request.path = path;
    const SaveResult result = saveTakeAsWav(request);
    if (!result.saved && result.error == 0)
        return refuse(std::string("none of the take in ") + tempCaptureName +
                      " could be read back, so nothing was saved");
    if (!result.saved) return refuse("the take could not be saved as " + path + ": " + std::strerror(result.error));
    std::string what = describeUnsavedTake(unsaved);
    // What never reached the disk before the run ended is left out, and the
    // take stays unsaved, as after the Save button's "Only ..." box.
    if (result.savedBytes < result.takeBytes) {
        UnsavedTake kept = unsaved;
        kept.frames = result.savedBytes / bytesPerFrameFor(take.settings.bitsPerSample, take.settings.channelCount);
        what = "only " + describeUnsavedTake(kept) + ", all that could be read back,";
    } else {
        markTakeSaved();
    }
    std::printf("Saved %s from %s as %s\n", what.c_str(), tempCaptureName, path.c_str());
    return 0;
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    const std::string option = argv[1];
    if (option == "--help" && argc == 2) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (option == "--version" && argc == 2) {
        std::printf("ostrelle %s\n", OSTRELLE_VERSION);
        return 0;
    }
    if (option == "--recover" && argc <= 3) return recoverTake(argc == 3 ? argv[2] : "");
    return refuse("unknown option " + option + "; ostrelle --help lists the options");
}
