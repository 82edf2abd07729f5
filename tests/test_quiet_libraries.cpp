// SPDX-License-Identifier: MIT
// The libraries under PortAudio keep their complaints off the terminal, and
// the program's own lines still reach it. Berkeley DB is met through JACK's
// client library, which opens an environment in /dev/shm at start-up; one
// left there by another build of Berkeley DB made it print on stderr.
#include <db.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "capture.h"
#include "temp_folder.h"

namespace {

// What reaches file descriptor 2 while `action` runs.
std::string stderrDuring(const std::function<void()>& action) {
    std::fflush(stderr);
    const std::string path = (std::filesystem::current_path() / "stderr").string();
    std::FILE* capture = std::fopen(path.c_str(), "w+");
    const int saved = ::dup(2);
    ::dup2(::fileno(capture), 2);
    action();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(capture);
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Opens a Berkeley DB environment as JACK does, in `home`; returns what
// opening it returned.
int openEnvironment(const std::string& home) {
    DB_ENV* environment = nullptr;
    int result = db_env_create(&environment, 0);
    if (result != 0) return result;
    result = environment->open(environment, home.c_str(), DB_CREATE | DB_INIT_LOCK | DB_INIT_MPOOL | DB_THREAD, 0);
    environment->close(environment, 0);
    return result;
}

TEST(QuietLibraries, BerkeleyDbComplainsToNoOneButTheProgramStillSpeaks) {
    TempFolder folder;
    // JACK's library calls db_env_create through the global scope: it must
    // find the program's own definition there, not Berkeley DB's.
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "db_env_create"), reinterpret_cast<void*>(&db_env_create));

    // A region file this build cannot read. Berkeley DB reports it on the
    // same path as the build signature of Debian 12's environment met under
    // Debian 13: on stderr, unless the environment has an error callback.
    std::filesystem::create_directory("stale");
    std::ofstream("stale/__db.001", std::ios::binary) << std::string(8192, '\x5a');

    struct Case {
        const char* name;
        std::string home;
        bool opens;
    };
    const Case cases[] = {
        {"a fresh environment", (folder.path() / "fresh").string(), true},
        {"a region file this build cannot read, as another build's", (folder.path() / "stale").string(), false},
        {"a folder that does not exist", (folder.path() / "missing" / "jack_db").string(), false},
    };
    std::filesystem::create_directory("fresh");
    for (const Case& row : cases) {
        int result = 0;
        const std::string told = stderrDuring([&] { result = openEnvironment(row.home); });
        EXPECT_EQ(result == 0, row.opens) << row.name << ": " << result;
        EXPECT_EQ(told, "") << row.name;
    }
    EXPECT_EQ(stderrDuring([] { std::fprintf(stderr, "the program's own line\n"); }), "the program's own line\n");
}

}  // namespace
