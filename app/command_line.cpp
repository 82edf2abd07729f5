// SPDX-License-Identifier: MIT
// The command line: help, version, and saving an unsaved take without a
// window. None of it opens a display or reads a settings file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app_internal.h"
#include "files.h"
#include "save.h"
#include "ui.h"

namespace {

constexpr const char* usage =
    "Usage: ostrelle [--recover NAME | --help | --version]\n"
    "Records sound from a capture device in a window and saves it as a WAV,\n"
    "FLAC, Ogg Opus or MP3 file.\n"
    "\n"
    "  --recover NAME  save the unsaved take that pelvar.temp in this folder holds\n"
    "                  as NAME, without a window: a NAME ending in .flac, .opus\n"
    "                  or .mp3 is saved in that format, and any other as WAV\n"
    "                  (.wav is added unless NAME ends in it); an existing file\n"
    "                  is never replaced\n"
    "  --help          show this help and exit\n"
    "  --version       show the version and exit\n";

int refuse(const std::string& reason) {
    std::fprintf(stderr, "ostrelle: %s\n", reason.c_str());
    return 1;
}

// A name as one line can show it. Control characters, which would break the
// line or work the terminal, are shown as C escapes, and so is a backslash,
// so that no name reads as another.
std::string shown(const std::string& name) {
    std::string text;
    for (size_t index = 0; index < name.size(); ++index) {
        const auto byte = static_cast<unsigned char>(name[index]);
        const auto next = index + 1 < name.size() ? static_cast<unsigned char>(name[index + 1]) : 0u;
        char escape[12];
        switch (byte) {
            case '\n': text += "\\n"; continue;
            case '\t': text += "\\t"; continue;
            case '\r': text += "\\r"; continue;
            case '\\': text += "\\\\"; continue;
            default: break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            text += escape;
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // The controls U+0080 to U+009F, two bytes in UTF-8, work terminals too.
            std::snprintf(escape, sizeof escape, "\\xc2\\x%02x", next);
            text += escape;
            ++index;
        } else {
            text += name[index];
        }
    }
    return text;
}

// Nothing before the suffix: the save would be a hidden file named only that.
bool namesNoFile(const SaveTarget& target) {
    const size_t separator = target.path.find_last_of('/');
    return target.path.compare(separator == std::string::npos ? 0 : separator + 1, std::string::npos,
                               suffixOf(target.format)) == 0;
}

std::string whyNothingToRecover(UnsavedState state) {
    const std::string name = tempCaptureName;
    // A link is never read through, and carries no note of its own; told it
    // is missing or has no note, the user would look in the wrong place.
    if ((state == UnsavedState::missing || state == UnsavedState::noNote) && isSymbolicLink(tempCaptureName))
        return "nothing to recover: " + name +
               " in this folder is a symbolic link, and a take is never read through one";
    switch (state) {
        case UnsavedState::missing: return "nothing to recover: there is no " + name + " in this folder";
        case UnsavedState::noNote:
            return "nothing to recover: " + name + " carries no note of its format, so it cannot be read back";
        case UnsavedState::saved: return "nothing to recover: the take in " + name + " was saved already";
        case UnsavedState::tooShort: return "nothing to recover: " + name + " holds no whole frame";
        case UnsavedState::held: return "another copy of ostrelle holds " + name + ", so it was left alone";
        case UnsavedState::notOwn:
            return name + " is not a file of your own (another user's, or linked more than once), so it was left alone";
        case UnsavedState::found: break;
    }
    return {};
}

int recoverTake(const char* name) {
    // Signals act as a close request would: a save under way stops.
    closeOnTerminationSignals();
    if (*name == '\0') return refuse("--recover needs a file name");
    const SaveTarget target = saveTargetFor(name, SaveFormat::wav);
    const std::string& path = target.path;
    if (namesNoFile(target))
        return refuse(std::string("--recover needs a name before ") + suffixOf(target.format) + ": " + shown(path) +
                      " would be a hidden file, so nothing was saved");
    const UnsavedTake unsaved = findUnsavedTake();
    if (unsaved.state != UnsavedState::found) return refuse(whyNothingToRecover(unsaved.state));
    if (fileSize(path.c_str()) != -1) return refuse(shown(path) + " already exists, so nothing was saved");
    const TakeToSave take = unsavedTakeToSave(unsaved);
    SaveRequest request = saveRequestFor(take, target);
    // A termination signal stops the save, which then leaves nothing behind.
    request.progress = [] { return !closeRequested(); };
    const SaveResult result = closeRequested() ? SaveResult{false, 0, 0, ECANCELED} : saveTakeAs(request);
    switch (endingOf(result)) {
        case SaveEnding::cancelled: return refuse("stopped by a signal, so nothing was saved");
        case SaveEnding::nothingRead:
            return refuse(std::string("none of the take in ") + tempCaptureName +
                          " could be read back, so nothing was saved");
        case SaveEnding::failed:
            return refuse("the take could not be saved as " + shown(path) + ": " + std::strerror(result.error));
        case SaveEnding::part:
        case SaveEnding::whole: break;
    }
    std::string what = describeUnsavedTake(unsaved);
    std::string unmarked;
    // What never reached the disk before the run ended is left out, and the
    // take stays unsaved, as after the Save button's "Only ..." box.
    if (endingOf(result) == SaveEnding::part) {
        UnsavedTake kept = unsaved;
        kept.frames = result.savedBytes / bytesPerFrameFor(take.settings.bitsPerSample, take.settings.channelCount);
        what = "only " + describeUnsavedTake(kept) + ", all that could be read back,";
    } else if (const int error = markTakeSaved(); error != 0) {
        // Saved all the same; but the take will be offered again, and the
        // user must learn why.
        unmarked = std::string(", but the take could not be marked as saved (") + std::strerror(error) +
                   "), so it will be offered again";
    }
    std::printf("Saved %s from %s as %s%s\n", what.c_str(), tempCaptureName, shown(path).c_str(), unmarked.c_str());
    // The file stands whole and on disk whatever becomes of the line, and the
    // take's note stays as the save left it; but whoever waits for the line
    // must learn that it never came.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        return refuse("the take was saved as " + shown(path) +
                      ", but standard output could not be written: " + std::strerror(errno));
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
    if (option == "--recover" && argc > 3)
        return refuse("--recover takes one file name, not " + std::to_string(argc - 2) +
                      " (quote a name that holds spaces)");
    if (option == "--recover") return recoverTake(argc == 3 ? argv[2] : "");
    return refuse("unknown option " + option + "; ostrelle --help lists the options");
}
