// SPDX-License-Identifier: MIT
#include <optional>
#include <string>

#include "app_internal.h"
#include "ui.h"

namespace {

constexpr Color captionGreen = rgb(0, 255, 128);
constexpr Color black = rgb(0, 0, 0);

struct Rectangle {
    int x, y, width, height;
};

void createCaption(int number, Rectangle place, const char* text) {
    createText(number, place.x, place.y, place.width, place.height, text);
}

void colorCaption(int number) {
    setControlColor(number, colorText, captionGreen);
    setControlColor(number, colorBackground, black);
}

template <typename Value, size_t count>
void buildSelector(int caption, Rectangle captionPlace, const char* captionText, int list, Rectangle listPlace,
                   const char* const (&items)[count], int selected, const Value (&values)[count], Value& field) {
    createCaption(caption, captionPlace, captionText);
    createComboBox(list, listPlace.x, listPlace.y, listPlace.width, listPlace.height);
    colorCaption(caption);
    for (const char* item : items) addControlItem(list, -1, item);
    setControlState(list, selected);
    field = values[static_cast<size_t>(selected)];
}

// A selection outside the list's choices (none selected) changes nothing.
template <typename Value, size_t count>
void applySelection(int list, const Value (&values)[count], Value& field) {
    int selected = getControlState(list);
    if (selected >= 0 && selected < static_cast<int>(count)) field = values[static_cast<size_t>(selected)];
}

void enableControls(std::initializer_list<int> controls, bool enabled) {
    for (int control : controls) enableControl(control, enabled);
}

}  // namespace

std::string deviceStatusText(const App& app) {
    return "Device: " + (chosenDevice(app) != nullptr ? chosenDevice(app)->label : std::string());
}

void refreshStatusLabels(const App& app) {
    const CaptureSettings& settings = app.captureSettings;
    const std::string texts[] = {
        deviceStatusText(app),
        "Channels: " + std::to_string(settings.channelCount),
        "Bit Depth: " + std::to_string(settings.bitsPerSample),
        "Sample Rate: " + std::to_string(roundedSampleRate(settings.sampleRate)),
    };
    const int numbers[] = {DeviceStatus, ChannelsStatus, BitsStatus, RateStatus};
    for (int line = 0; line < 4; ++line) {
        createText(numbers[line], 172, 174 + 30 * line, 320, 20, texts[line].c_str());
        colorCaption(numbers[line]);
    }
    // A long device name keeps both its ends in sight, whole in its tooltip.
    cutTextInTheMiddle(DeviceStatus);
    setControlDescription(DeviceStatus, texts[0].c_str());
}

void buildMainWindow(App& app) {
    CaptureSettings& settings = app.captureSettings;
    openWindow(MainWindow, 150, 150, 440, 340, mainWindowTitle, styleFixedWindow);
    setWindowColor(MainWindow, black);

    static const char* const channelItems[] = {"1", "2"};
    static const char* const bitItems[] = {"16", "24", "32"};
    static const char* const rateItems[] = {"44100", "48000", "88200", "96000", "176400", "192000"};
    buildSelector(ChannelsCaption, {26, 25, 85, 20}, "# of Channels", ChannelsList, {26, 50, 85, 20}, channelItems, 1,
                  channelChoices, settings.channelCount);
    buildSelector(BitsCaption, {166, 25, 85, 20}, "# of Bit", BitsList, {160, 50, 95, 20}, bitItems, 0, bitChoices,
                  settings.bitsPerSample);
    buildSelector(RateCaption, {310, 25, 85, 20}, "# of Sample", RateList, {305, 50, 110, 20}, rateItems, 0,
                  rateChoices, settings.sampleRate);

    createCaption(DeviceCaption, {26, 85, 75, 20}, "Main Device");
    createComboBox(DeviceList, 26, 110, 240, 20);
    cutTextInTheMiddle(DeviceList);
    colorCaption(DeviceCaption);
    // The sound server tells of its changes through the event wait, as the
    // stream's opening does later.
    if (app.wakeChannel < 0) listenForWakeUps(app);
    fillDeviceList(app);

    createButton(AcceptButton, 310, 105, 100, 25, "ACCEPT", buttonDefault);
    refreshStatusLabels(app);
    createButton(RecordButton, 50, 170, 80, 40, "Record");
    createButton(StopButton, 50, 270, 80, 40, "Stop");
    createButton(SaveButton, 50, 220, 80, 40, "Save");
    // Under ACCEPT, clear of every other control.
    createButton(PauseButton, 310, 140, 100, 25, "Pause", buttonToggle);
    showButtons(ButtonState::beforeAccept);
    enableControls({DeviceStatus, ChannelsStatus, BitsStatus, RateStatus}, false);
    giveKeysAndNames();
}

int settingsPass(App& app) {
    CaptureSettings& settings = app.captureSettings;
    const int code = waitWindowEvent();
    if (code == eventWoken) followDeviceList(app);
    if (code != eventControlChanged) return code;
    switch (eventControl()) {
        case DeviceList: {
            // Why an earlier choice was dropped is old news now.
            const int selected = getControlState(DeviceList);
            if (selected >= 0 && selected < static_cast<int>(app.devices.size()))
                chooseDevice(app, static_cast<size_t>(selected));
            break;
        }
        case RateList: applySelection(RateList, rateChoices, settings.sampleRate); break;
        case ChannelsList: applySelection(ChannelsList, channelChoices, settings.channelCount); break;
        case BitsList: applySelection(BitsList, bitChoices, settings.bitsPerSample); break;
        default: break;
    }
    return code;
}

bool runSettingsPhase(App& app) {
    // An ACCEPT pressed while PortAudio starts takes effect once it has
    // started and the list has followed it, since its devices' numbers may
    // change: on the entry chosen, or, where the list was still empty, on
    // its first, as an ACCEPT left untouched does. If the chosen entry went
    // meanwhile, the list says why and the user chooses again.
    std::optional<CaptureDevice> accepted;
    for (;;) {
        if (settingsPass(app) == eventCloseRequested) return false;
        if (eventControl() == AcceptButton && !accepted) {
            const CaptureDevice* chosen = chosenDevice(app);
            accepted = chosen != nullptr ? *chosen : CaptureDevice{};
        }
        if (!accepted || !portAudioReady(app)) continue;
        followDeviceList(app);
        // The list may have asked PortAudio to start anew just now.
        if (!portAudioReady(app)) continue;
        const CaptureDevice* chosen = chosenDevice(app);
        if (accepted->label.empty() || (chosen != nullptr && chosen->label == accepted->label)) break;
        accepted.reset();
    }
    app.captureFormat = computeCaptureFormat(app.captureSettings);
    return true;
}

void applyAcceptedSettings(App& app) {
    refreshStatusLabels(app);
    showButtons(ButtonState::accepted);
    enableControls({DeviceStatus, ChannelsStatus, BitsStatus, RateStatus}, true);
    enableControls({AcceptButton, DeviceList, BitsList, ChannelsList, RateList}, false);
}
