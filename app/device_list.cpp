// SPDX-License-Identifier: MIT
// The device list: PortAudio's devices first, as they have always been
// listed, then the desktop's sound server's sources by their own names. Until
// ACCEPT it follows the server: sources that come and go, and sound cards,
// for which PortAudio is started anew.
#include <chrono>
#include <string>
#include <vector>

#include "app_internal.h"
#include "ui.h"

namespace {

// The server's first answer is waited for this long as the window is built;
// one that comes later, or never (a hung server), leaves the list to
// PortAudio's entries until it does.
constexpr auto serverPatience = std::chrono::milliseconds(25);

std::vector<CaptureDevice> listedNow(const App& app) {
    std::vector<CaptureDevice> entries = captureDevices();
    std::vector<CaptureDevice> sources = serverCaptureDevices(app.soundServer.sources().sources);
    entries.insert(entries.end(), sources.begin(), sources.end());
    return entries;
}

// A source is the same while the server names it the same, whatever its
// label says of it (it may become the default); a PortAudio device while its
// label is the same, since PortAudio numbers its devices anew when it starts.
bool sameDevice(const CaptureDevice& one, const CaptureDevice& other) {
    if (one.sourceName.empty() != other.sourceName.empty()) return false;
    return one.sourceName.empty() ? one.label == other.label : one.sourceName == other.sourceName;
}

void choose(App& app, size_t item) {
    setControlState(DeviceList, static_cast<int>(item));
    const CaptureDevice& device = app.devices[item];
    app.captureSettings.deviceIndex = device.index;
    app.captureSettings.sourceName = device.sourceName;
}

}  // namespace

const CaptureDevice* chosenDevice(const App& app) {
    const CaptureSettings& settings = app.captureSettings;
    for (const CaptureDevice& device : app.devices) {
        if (!settings.sourceName.empty() ? device.sourceName == settings.sourceName
                                         : device.sourceName.empty() && device.index == settings.deviceIndex)
            return &device;
    }
    return nullptr;
}

void fillDeviceList(App& app) {
    app.cardChangesListed = app.soundServer.sources().cardChanges;
    app.soundServer.awaitSources(serverPatience);
    app.devices = listedNow(app);
    for (size_t item = 0; item < app.devices.size(); ++item) {
        addControlItem(DeviceList, -1, app.devices[item].label.c_str());
        setControlItemData(DeviceList, static_cast<int>(item), app.devices[item].index);
    }
    setControlState(DeviceList, 0);
    if (!app.devices.empty()) choose(app, 0);
}

void followDeviceList(App& app) {
    const int64_t cardChanges = app.soundServer.sources().cardChanges;
    if (cardChanges != app.cardChangesListed) {
        // No stream is open before ACCEPT, so nothing is lost by it.
        app.cardChangesListed = cardChanges;
        restartAudio();
    }
    std::vector<CaptureDevice> entries = listedNow(app);
    if (entries == app.devices) return;
    const int selected = getControlState(DeviceList);
    const bool wasChosen = selected >= 0 && selected < static_cast<int>(app.devices.size());
    const CaptureDevice chosen = wasChosen ? app.devices[static_cast<size_t>(selected)] : CaptureDevice{};
    // Items that went, or whose label changed, leave; the rest keep their
    // order, so the new ones are put in between, and an open list moves no
    // more than it must.
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
    for (size_t item = 0; item < app.devices.size(); ++item) {
        if (wasChosen && sameDevice(app.devices[item], chosen)) {
            choose(app, item);
            return;
        }
    }
    if (app.devices.empty()) return;
    choose(app, 0);
    if (wasChosen) {
        const std::string why = chosen.label + " was disconnected, so " + app.devices[0].label + " is chosen.";
        setControlDescription(DeviceList, why.c_str());
    }
}
