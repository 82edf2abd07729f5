// SPDX-License-Identifier: MIT
// A fresh folder that becomes the current directory for one test, and is
// removed with everything in it afterwards.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

class TempFolder {
   public:
    TempFolder() {
        previous_ = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrelle-test.XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        std::filesystem::current_path(path_);
    }
    ~TempFolder() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

   private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};
