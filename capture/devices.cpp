// SPDX-License-Identifier: MIT
// The entries of the device list: PortAudio's devices, then the sound
// server's sources.
#include <cstring>
#include <map>

#include "capture.h"
#include "capture_internal.h"
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
        devices.push_back({index, std::move(label), {}, {}});
    }
    return devices;
}

std::vector<CaptureDevice> serverCaptureDevices(const std::vector<ServerSource>& sources) {
    std::vector<CaptureDevice> devices;
    if (sources.empty() || serverDeviceString(sources.front()).empty()) return devices;
    std::map<std::string, int> sharing;
    for (const ServerSource& source : sources) ++sharing[source.description];
    for (const ServerSource& source : sources) {
        // The description first, as the desktop shows it, so that typing its
        // first letters in the open list finds it.
        std::string label = source.description + " (sound server";
        if (sharing[source.description] > 1) label += ", " + source.name;
        if (source.isDefault) label += ", default";
        devices.push_back({serverSourceDevice, label + ")", source.name, source.description});
    }
    return devices;
}

namespace {

// ALSA takes an argument's value in double quotes, with a backslash before
// a quote or a backslash, so that any name the server gives reads whole.
std::string quoted(const std::string& value) {
    std::string text = "\"";
    for (char character : value) {
        if (character == '"' || character == '\\') text += '\\';
        text += character;
    }
    return text + '"';
}

bool alsaDeviceListed(const char* name) {
    const PaHostApiIndex alsa = Pa_HostApiTypeIdToHostApiIndex(paALSA);
    if (alsa < 0) return false;
    for (int index = 0; index < Pa_GetDeviceCount(); ++index) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
        if (info != nullptr && info->hostApi == alsa && info->name != nullptr && std::strcmp(info->name, name) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::string serverDeviceString(const ServerSource& source) {
    if (alsaDeviceListed("pulse")) return "pulse:DEVICE=" + quoted(source.name);
    // PipeWire's plugin names a node; a monitor is recorded by naming the
    // output it monitors.
    if (alsaDeviceListed("pipewire"))
        return "pipewire:NODE=" + quoted(source.monitorOf.empty() ? source.name : source.monitorOf);
    return {};
}
