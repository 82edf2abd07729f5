// SPDX-License-Identifier: MIT
// What tests reach in the file channels beyond their contract.
#pragma once

#include <string>

// Where the record of the open channel under a number lives (null when none
// is open), so a test can see that a low channel stays put while others open.
const void* channelRecordAddress(int number);
// Opens an existing file for reading only, as createFile replaces what was
// open under the number; the program reads its take with openExclusiveForReading.
int openFileForReading(int number, const char* name);

// setFileNote on a file by name, as a take left by an earlier run carries
// it; a symbolic link is refused, never followed.
bool setFileNote(const char* name, const char* key, const std::string& text);

// Makes createFileFor use a hidden file, as on a file system without
// unnamed files.
void refuseUnnamedFilesForTesting(bool refused);
