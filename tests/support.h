// SPDX-License-Identifier: MIT
// Helpers for tests that drive the real window layer in-process on Qt's
// offscreen platform: scheduled user actions, and an answerer that deals with
// every message box and save dialog as the test planned.
#pragma once

#include <QWidget>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class CaptureEngine;

// Runs an action from inside the next event wait, as a user's input would arrive.
void later(std::function<void()> action, int milliseconds = 0);
// The widget that carries a control number, or null.
QWidget* controlWidget(int number);
QWidget* windowWidget(int number);
// A real mouse click in the middle of the control, delivered during the next wait.
void clickLater(int control, int milliseconds = 0);
bool controlEnabled(int number);
std::string controlText(int number);

struct SeenBox {
    std::string title;
    std::string text;
    int buttons = 0;
    int width = 0;
};
struct SeenDialog {
    std::string title;
    std::string folder;
    std::string proposedName;
    std::vector<std::string> filters;
    std::string selectedFilter;
    bool confirmsOverwrite = true;
    std::string defaultSuffix;
};

// Everything the answerer met, in order.
extern std::vector<SeenBox> seenBoxes;
extern std::vector<SeenDialog> seenDialogs;
// Buttons to press in the coming boxes (a QMessageBox::StandardButton each);
// when none is planned the box's default button is pressed.
extern std::deque<int> plannedBoxAnswers;
// Paths to choose in the coming save dialogs; nullopt cancels.
extern std::deque<std::optional<std::string>> plannedDialogAnswers;
// Types to choose in the type list of the coming save dialogs before the
// name is typed (".flac"); where none is planned the dialog's own stays.
extern std::deque<std::string> plannedDialogTypes;
void forgetAnswers();

// The test's main(): offscreen platform, the layer started, the answerer running.
// beforePortAudio runs first when given: the place to write sound library configuration.
int runLayerTests(int argc, char** argv, bool withPortAudio, std::function<void()> beforePortAudio = {});
// The test rig's launcher (tests/rig/rig.sh) with these words: true when
// what it started runs.
bool runRig(const std::vector<std::string>& words);
// A part of the rig a test starts for itself, in a temporary folder of its
// own: the launcher's `what` ("buses", ...) and its words after the folder.
// Stopped, and its folder removed, when it goes.
class RigPart {
   public:
    RigPart(const std::string& what, const std::vector<std::string>& words);
    ~RigPart();
    RigPart(const RigPart&) = delete;
    RigPart& operator=(const RigPart&) = delete;
    bool started() const { return started_; }
    const std::string& folder() const { return folder_; }

   private:
    std::string folder_;
    bool started_ = false;
};
// Takes on the environment a part of the rig names for its clients (its
// DIR/env, such as the private sound server's), or with addressOnly only
// where a sound server's clients connect.
void useRigEnvironment(const std::string& folder, bool addressOnly = false);
// The ALSA device that captures the private sound server: "pulse", or
// "pipewire" where PipeWire's own plugin is installed.
std::string soundDevice();
// How often a private server's tone has run dry so far, as the server told
// its player: a take that spans one holds gaps the recorder did not make.
int soundRigUnderruns(const std::string& folder);
// The index of the PortAudio device with this name, or -1.
int deviceNamed(const std::string& name);
// A new stream on the sound server may take a moment before it delivers,
// and then hands over what piled up meanwhile in a burst; a user never
// presses Record within that. False when nothing came.
bool waitForAudio(const CaptureEngine& engine, int milliseconds = 5000);
