// SPDX-License-Identifier: MIT
// The device list: PortAudio's devices first, as they have always been
// listed, then the desktop's sound server's sources by their own names. Until
// ACCEPT it follows the server: sources that come and go, and sound cards,
// for which PortAudio is started anew, off the interface thread, as it is
// for a server that comes after PortAudio started without it.
#include <string>
#include <vector>

#include "app_internal.h"
#include "ui.h"

namespace {

std::vector<CaptureDevice> listedNow(const SoundServer::Sources& server) {
    std::vector<CaptureDevice> entries = captureDevices();
    std::vector<CaptureDevice> sources = serverCaptureDevices(server.sources);
    entries.insert(entries.end(), sources.begin(), sources.end());
    return entries;
}

// A source is the same while the server names and numbers it the same,
// whatever its label says of it (it may become the default); a PortAudio
// device while its label is the same, since PortAudio numbers its devices
// anew when it starts.
bool sameDevice(const CaptureDevice& one, const CaptureDevice& other) {
    if (one.sourceName.empty() != other.sourceName.empty()) return false;
    return one.sourceName.empty() ? one.label == other.label
                                  : one.sourceName == other.sourceName && one.sourceIndex == other.sourceIndex;
}

// The list's own entries, brought up to `entries` in place: items that went,
// or whose label changed, leave; the rest keep their order, so the new ones
// are put in between, and an open list moves no more than it must.
void replaceItems(App& app, const std::vector<CaptureDevice>& entries) {
    for (size_t item = app.devices.size(); item-- > 0;) {
        bool kept = false;
        for (const CaptureDevice& entry : entries) kept = kept || entry == app.devices[item];
        if (!kept) {
            removeControlItem(DeviceList, static_cast<int>(item));
            app.devices.erase(app.devices.begin() + static_cast<std::ptrdiff_t>(item));
        }
    }
    for (size_t item = 0; item < entries.size(); ++item) {
        if (item < app.devices.size() && app.devices[item] == entries[item]) continue;
        addControlItem(DeviceList, static_cast<int>(item), entries[item].label.c_str());
        app.devices.insert(app.devices.begin() + static_cast<std::ptrdiff_t>(item), entries[item]);
    }
    while (app.devices.size() > entries.size()) {
        removeControlItem(DeviceList, static_cast<int>(app.devices.size() - 1));
        app.devices.pop_back();
    }
    for (size_t item = 0; item < app.devices.size(); ++item)
        setControlItemData(DeviceList, static_cast<int>(item), app.devices[item].index);
}

}  // namespace

bool portAudioReady(const App& app) { return app.audio == nullptr || app.audio->ready(); }

void chooseDevice(App& app, size_t item) {
    const CaptureDevice& device = app.devices[item];
    setControlState(DeviceList, static_cast<int>(item));
    app.captureSettings.deviceIndex = device.index;
    app.captureSettings.sourceName = device.sourceName;
    app.captureSettings.sourceIndex = device.sourceIndex;
    // The whole label, which the closed list and "Device:" may cut.
    setControlDescription(DeviceList, device.label.c_str());
}

const CaptureDevice* chosenDevice(const App& app) {
    const CaptureSettings& settings = app.captureSettings;
    for (const CaptureDevice& device : app.devices) {
        if (!settings.sourceName.empty()
                ? device.sourceName == settings.sourceName && device.sourceIndex == settings.sourceIndex
                : device.sourceName.empty() && device.index == settings.deviceIndex)
            return &device;
    }
    return nullptr;
}

std::string sourceDescription(const App& app) {
    const CaptureDevice* device = chosenDevice(app);
    return device != nullptr && !device->description.empty() ? device->description : app.captureSettings.sourceName;
}

void fillDeviceList(App& app) {
    const SoundServer::Sources server = app.soundServer.sources();
    app.cardChangesListed = server.cardChanges;
    app.serverArrivalsListed = server.arrivals;
    setControlState(DeviceList, 0);
    // PortAudio may still be starting: its end wakes the wait, and the list
    // is filled then.
    followDeviceList(app);
}

void followDeviceList(App& app) {
    // Nothing of PortAudio's while it starts; its start's end comes back here.
    if (!portAudioReady(app)) return;
    const SoundServer::Sources server = app.soundServer.sources();
    bool startAnew = server.cardChanges != app.cardChangesListed;
    app.cardChangesListed = server.cardChanges;
    // A server that came after PortAudio started without reaching it: its
    // ALSA devices ("pulse", "default") are listed once PortAudio starts anew.
    if (server.arrivals != app.serverArrivalsListed) {
        app.serverArrivalsListed = server.arrivals;
        startAnew = startAnew || (server.connected && !portAudioReachesSoundServer());
    }
    // No stream is open before ACCEPT, so nothing is lost by it.
    if (startAnew && app.audio != nullptr) {
        app.audio->restart();
        return;
    }
    std::vector<CaptureDevice> entries = listedNow(server);
    if (entries == app.devices) return;
    const int selected = getControlState(DeviceList);
    const bool wasChosen = selected >= 0 && selected < static_cast<int>(app.devices.size());
    const CaptureDevice chosen = wasChosen ? app.devices[static_cast<size_t>(selected)] : CaptureDevice{};
    replaceItems(app, entries);
    for (size_t item = 0; item < app.devices.size(); ++item) {
        if (wasChosen && sameDevice(app.devices[item], chosen)) {
            chooseDevice(app, item);
            return;
        }
    }
    if (app.devices.empty()) return;
    chooseDevice(app, 0);
    // The list's first filling, PortAudio having started after the window
    // was built: the status line shows the first entry, as it does where the
    // list was filled as the window was built.
    if (!wasChosen) {
        const std::string status = deviceStatusText(app);
        setControlText(DeviceStatus, status.c_str());
        setControlDescription(DeviceStatus, status.c_str());
    }
    if (wasChosen) {
        const std::string why = chosen.label + " was disconnected, so " + app.devices[0].label + " is chosen.";
        setControlDescription(DeviceList, why.c_str());
    }
}
