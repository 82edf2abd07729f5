// SPDX-License-Identifier: MIT
#include <cstring>

#include "capture.h"
#include "capture_testing.h"

std::string deviceLabel(const PaDeviceInfo* info) {
    if (info == nullptr) return {};
    return std::string(info->name == nullptr ? "" : info->name) + " " + std::to_string(info->hostApi);
}

std::vector<CaptureDevice> captureDevices() {
    return captureDevices(DeviceSource{Pa_GetDeviceCount, Pa_GetDeviceInfo});
}

std::vector<CaptureDevice> captureDevices(const DeviceSource& source) {
    std::vector<CaptureDevice> devices;
    const int count = source.count();
    for (int index = 0; index < count; ++index) {
        const PaDeviceInfo* info = source.info(index);
        if (info == nullptr || info->maxInputChannels < 1) continue;
        std::string label = deviceLabel(info);
        // ASIO drivers are not supported, whatever host API index they carry.
        if (std::strncmp(label.c_str(), "ASIO", 4) == 0) continue;
        devices.push_back({index, std::move(label)});
    }
    return devices;
}
