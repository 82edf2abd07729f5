// SPDX-License-Identifier: MIT
// Preloaded into the program, this hides Qt's Wayland platform plugin from
// directory listings, as on a machine without qt6-wayland.
#include <dirent.h>
#include <dlfcn.h>

#include <cstring>

namespace {

bool hidden(const char* name) { return std::strncmp(name, "libqwayland", 11) == 0; }

template <typename Entry>
Entry* nextShown(const char* symbol, DIR* folder) {
    static auto real = reinterpret_cast<Entry* (*)(DIR*)>(dlsym(RTLD_NEXT, symbol));
    Entry* entry = real(folder);
    while (entry != nullptr && hidden(entry->d_name)) entry = real(folder);
    return entry;
}

}  // namespace

extern "C" dirent* readdir(DIR* folder) { return nextShown<dirent>("readdir", folder); }
extern "C" dirent64* readdir64(DIR* folder) { return nextShown<dirent64>("readdir64", folder); }
