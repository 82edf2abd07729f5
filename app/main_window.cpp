// SPDX-License-Identifier: MIT
#include <array>
#include <string>

#include "app_internal.h"
#include "capture.h"
#include "ui.h"

namespace {

constexpr Color captionGreen = rgb(0, 255, 128);
constexpr Color black = rgb(0, 0, 0);

constexpr std::array<int16_t, 2> channelChoices{1, 2};
constexpr std::array<int32_t, 3> bitChoices{16, 24, 32};
constexpr std::array<double, 6> rateChoices{44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0};

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
                   const char* const (&items)[count], int selected, const std::array<Value, count>& values,
                   Value& field) {
    createCaption(caption, captionPlace, captionText);
    createComboBox(list, listPlace.x, listPlace.y, listPlace.width, listPlace.height);
    colorCaption(caption);
    for (const char* item : items) addControlItem(list, -1, item);
    setControlState(list, selected);
    field = values[static_cast<size_t>(selected)];
}

// A selection outside the list's choices (none selected) changes nothing.
template <typename Value, size_t count>
void applySelection(int list, const std::array<Value, count>& values, Value& field) {
    int selected = getControlState(list);
    if (selected >= 0 && selected < static_cast<int>(count)) field = values[static_cast<size_t>(selected)];
}

void enableControls(std::initializer_list<int> controls, bool enabled) {
    for (int control : controls) disableControl(control, enabled ? 0 : 1);
}

}  // namespace

void refreshStatusLabels() {
    const std::string texts[] = {
        "Device: " + labelForDevice(captureSettings.deviceIndex),
        "Channels: " + std::to_string(captureSettings.channelCount),
        "Bit Depth: " + std::to_string(captureSettings.bitsPerSample),
        "Sample Rate: " + std::to_string(roundedSampleRate()),
    };
    const int numbers[] = {DeviceStatus, ChannelsStatus, BitsStatus, RateStatus};
    for (int line = 0; line < 4; ++line) {
        createText(numbers[line], 172, 174 + 30 * line, 320, 20, texts[line].c_str());
        colorCaption(numbers[line]);
    }
}

void buildMainWindow() {
    openWindow(MainWindow, 150, 150, 440, 340, mainWindowTitle, styleFixedWindow);
    setWindowColor(MainWindow, black);

    static const char* const channelItems[] = {"1", "2"};
    static const char* const bitItems[] = {"16", "24", "32"};
    static const char* const rateItems[] = {"44100", "48000", "88200", "96000", "176400", "192000"};
    buildSelector(ChannelsCaption, {26, 25, 85, 20}, "# of Channels", ChannelsList, {26, 50, 85, 20}, channelItems, 1,
                  channelChoices, captureSettings.channelCount);
    buildSelector(BitsCaption, {166, 25, 85, 20}, "# of Bit", BitsList, {160, 50, 95, 20}, bitItems, 0, bitChoices,
                  captureSettings.bitsPerSample);
    buildSelector(RateCaption, {310, 25, 85, 20}, "# of Sample", RateList, {305, 50, 110, 20}, rateItems, 0,
                  rateChoices, captureSettings.sampleRate);

    createCaption(DeviceCaption, {26, 85, 75, 20}, "Main Device");
    createComboBox(DeviceList, 26, 110, 240, 20);
    colorCaption(DeviceCaption);
    listCaptureDevices();
    setControlState(DeviceList, 0);
    if (getControlItemData(DeviceList, 0) != -1) captureSettings.deviceIndex = getControlItemData(DeviceList, 0);

    createButton(AcceptButton, 310, 105, 100, 25, "ACCEPT", buttonDefault);
    refreshStatusLabels();
    createButton(RecordButton, 50, 170, 80, 40, "Record");
    createButton(StopButton, 50, 270, 80, 40, "Stop");
    createButton(SaveButton, 50, 220, 80, 40, "Save");
    showButtons(ButtonState::beforeAccept);
    enableControls({DeviceStatus, ChannelsStatus, BitsStatus, RateStatus}, false);
}

void runSettingsPhase() {
    do {
        int code = waitWindowEvent();
        if (code == eventCloseRequested) shutdownAndExit();
        if (code == eventControlChanged) {
            switch (eventControl()) {
                case DeviceList: {
                    int selected = getControlState(DeviceList);
                    if (selected >= 0) captureSettings.deviceIndex = getControlItemData(DeviceList, selected);
                    break;
                }
                case RateList: applySelection(RateList, rateChoices, captureSettings.sampleRate); break;
                case ChannelsList: applySelection(ChannelsList, channelChoices, captureSettings.channelCount); break;
                case BitsList: applySelection(BitsList, bitChoices, captureSettings.bitsPerSample); break;
                default: break;
            }
        }
    } while (eventControl() != AcceptButton);
    releaseDeviceTable();
    computeCaptureFormat();
}

void applyAcceptedSettings() {
    refreshStatusLabels();
    showButtons(ButtonState::accepted);
    enableControls({DeviceStatus, ChannelsStatus, BitsStatus, RateStatus}, true);
    enableControls({AcceptButton, DeviceList, BitsList, ChannelsList, RateList}, false);
}
