// SPDX-License-Identifier: MIT
// PortAudio starts without a word on the terminal, even where JACK's library
// meets a Berkeley DB environment in /dev/shm that another build left, and
// the program's own lines still reach it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "capture.h"
#include "temp_folder.h"

TEST(QuietStart, AStaleJackDatabaseStaysOffTheTerminalAndTheProgramStillSpeaks) {
    TempFolder folder;
    const pid_t child = ::fork();
    if (child == 0) {
        // A /dev/shm of its own, holding a region file no build can read;
        // private first, so that the new one is seen nowhere else (in a
        // chroot "/" itself is no mount to make private).
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/dev/shm", nullptr, MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/dev/shm", "tmpfs", 0, nullptr) != 0)
            ::_exit(77);
        const std::string stale = "/dev/shm/jack_db-" + std::to_string(::getuid());
        ::mkdir(stale.c_str(), 0700);
        std::ofstream(stale + "/__db.001", std::ios::binary) << std::string(8192, '\x5a');
        ::dup2(::open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        startAudio();
        std::fprintf(stderr, "the program's own line\n");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "a /dev/shm of its own needs root";
    std::stringstream told;
    told << std::ifstream("stderr").rdbuf();
    EXPECT_EQ(told.str(), "the program's own line\n");
}
