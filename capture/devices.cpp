// SPDX-License-Identifier: MIT
#include <cstring>
#include <vector>

#include "capture.h"
#include "capture_internal.h"
#include "capture_testing.h"
#include "ui.h"

namespace {

constexpr size_t initialLabelRoom = 101;

std::vector<const PaDeviceInfo*> deviceTable;
std::vector<std::string> deviceLabels(initialLabelRoom);

}  // namespace

void resetDeviceList() {
    deviceTable.clear();
    deviceLabels.assign(initialLabelRoom, std::string());
}

std::string deviceLabel(const PaDeviceInfo* info) {
    if (info == nullptr) return {};
    return std::string(info->name == nullptr ? "" : info->name) + " " + std::to_string(info->hostApi);
}

void listCaptureDevices() { listCaptureDevices(DeviceSource{Pa_GetDeviceCount, Pa_GetDeviceInfo}); }

void listCaptureDevices(const DeviceSource& source) {
    int count = source.count();
    deviceTable.assign(count > 0 ? static_cast<size_t>(count) + 1 : 0, nullptr);
    for (int index = 0; index < count; ++index) deviceTable[static_cast<size_t>(index)] = source.info(index);
    int item = 0;
    for (int index = 0; index < count; ++index) {
        const PaDeviceInfo* info = deviceTable[static_cast<size_t>(index)];
        if (info == nullptr || info->maxInputChannels < 1) continue;
        std::string label = deviceLabel(info);
        // ASIO drivers are not supported, whatever host API index they carry.
        if (std::strncmp(label.c_str(), "ASIO", 4) == 0) continue;
        addControlItem(DeviceList, -1, label.c_str());
        setControlItemData(DeviceList, item, index);
        if (static_cast<size_t>(index) >= deviceLabels.size()) deviceLabels.resize(static_cast<size_t>(index) + 1);
        deviceLabels[static_cast<size_t>(index)] = label;
        ++item;
    }
}

std::string labelForDevice(int deviceIndex) {
    if (deviceIndex < 0 || static_cast<size_t>(deviceIndex) >= deviceLabels.size()) return {};
    return deviceLabels[static_cast<size_t>(deviceIndex)];
}

void releaseDeviceTable() {
    deviceTable.clear();
    deviceTable.shrink_to_fit();
}
