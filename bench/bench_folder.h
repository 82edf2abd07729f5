// SPDX-License-Identifier: MIT
// A temporary folder of the benchmark's own, made the current directory for
// its run and removed afterwards, so that a user's "pelvar.temp" in the
// folder the benchmark was started from is never touched.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

class BenchFolder {
   public:
    BenchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrelle-bench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        path_ = pattern;
        started_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~BenchFolder() {
        std::filesystem::current_path(started_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

   private:
    std::filesystem::path path_;
    std::filesystem::path started_;
};

// The middle value; sorts its argument.
inline double median(std::vector<double>& values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
