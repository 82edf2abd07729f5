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
        devices.push_back({index, std::move(label), {}, -1, {}});
    }
    return devices;
}

namespace {

// A description as one line shows it: a tab or a line break would push
// what follows out of sight, so control characters read as blanks.
std::string oneLine(std::string text) {
    for (char& character : text)
        if (static_cast<unsigned char>(character) < 0x20 || character == 0x7F) character = ' ';
    return text;
}

}  // namespace

std::vector<CaptureDevice> serverCaptureDevices(const std::vector<ServerSource>& sources) {
    std::vector<CaptureDevice> devices;
    if (!portAudioReachesSoundServer()) return devices;
    std::map<std::string, int> descriptions, names, both;
    for (const ServerSource& source : sources) {
        ++descriptions[source.description];
        ++names[source.name];
        ++both[source.description + '\n' + source.name];
    }
    for (const ServerSource& source : sources) {
        // The description first, as the desktop shows it, so that typing its
        // first letters in the open list finds it. Where several share it,
        // the name tells them apart, and where they share that too, the
        // server's number. The default is marked only where its name tells
        // which source it is.
        const std::string description = oneLine(source.description);
        std::string label = description + " (sound server";
        if (descriptions[source.description] > 1) label += ", " + oneLine(source.name);
        if (both[source.description + '\n' + source.name] > 1) label += " #" + std::to_string(source.index);
        if (source.isDefault && names[source.name] == 1) label += ", default";
        devices.push_back(
            {serverSourceDevice, label + ")", source.name, static_cast<int64_t>(source.index), description});
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

std::string serverDeviceString(const ServerSource& source, bool nameAmbiguous) {
    // PulseAudio's plugin asks the server for a source by name or number.
    if (alsaDeviceListed("pulse"))
        return "pulse:DEVICE=" + quoted(nameAmbiguous ? std::to_string(source.index) : source.name);
    // PipeWire's plugin names a node, by its name or its serial; a monitor
    // is recorded by naming the output it monitors, whose node it is.
    if (alsaDeviceListed("pipewire")) {
        if (nameAmbiguous && !source.serial.empty()) return "pipewire:NODE=" + quoted(source.serial);
        return "pipewire:NODE=" + quoted(source.monitorOf.empty() ? source.name : source.monitorOf);
    }
    return {};
}

bool portAudioReachesSoundServer() { return alsaDeviceListed("pulse") || alsaDeviceListed("pipewire"); }
