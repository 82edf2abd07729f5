// SPDX-License-Identifier: MIT
// What the files of the file layer share and no one else sees. Calls run one
// way: files.cpp keeps the table of channels and calls nothing else here;
// held_files.cpp builds on it; names.cpp, publish.cpp and notes.cpp build on
// both.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "files.h"

namespace files_detail {

// A file this process holds an exclusive lock on, by a descriptor of its own
// that stays open until exit: closing a channel must not hand the file to
// another process between two takes.
struct HeldLock {
    dev_t device;
    ino_t inode;
};

struct Beyond {
    // Channels numbered past the fixed block.
    std::vector<std::unique_ptr<FileChannel>> extraTable;
    std::vector<HeldLock> heldLocks;
    // What each channel opened by createFileFor has for a name until it is
    // published: nothing (an unnamed file), or a hidden name beside its path.
    std::map<int, std::string> hiddenNames;
    // The file system refused an unnamed file once; it will again.
    bool unnamedFilesRefused = false;
};
// The registry's part beyond the fixed block, made at the first call.
Beyond& beyond();

// The entry for a number, made when it lies beyond the table; null for a negative number.
FileChannel* entryForOpen(int number);
// The entry for a number, with whatever was open under it written out and
// closed first, even when the new open then fails.
FileChannel* emptiedEntry(int number);
// Gives an opened descriptor to the entry: non-zero, or 0 for a descriptor below 0.
int adopt(FileChannel& entry, int descriptor);
// Writes out what is pending.
void flush(FileChannel& entry);
// Writes out and closes; false when any write, the final one included, or the close failed.
bool closeEntry(FileChannel& entry);

// Opens the file under `name` as the process's own (held_files.cpp): never
// through a link, only a regular file of the effective user's with no other
// name, locked for this process as createFile's exclusive flag promises. For
// writing, a missing file is made 0600 and an existing one emptied, only
// once all of that holds. -1 on failure, with errno as files.h tells.
// Writing empties the file once it is taken; writing and keeping leaves
// what it holds to the caller.
enum class OwnFileUse { write, writeKeeping, read };
int openOwnFile(const char* name, OwnFileUse use);
// The folder a path names a file in: "." for a bare name.
std::string folderOf(const std::string& path);

}  // namespace files_detail

// Creates a new, hidden file with a name of its own in the folder of `path`,
// as by createFile with newOnly. Returns that name, or the empty text.
std::string createHiddenFileBeside(int number, const char* path);
// Writes out what is pending and asks the system to put the file on disk.
// False when that, or any earlier write on the channel, failed.
bool syncFile(int number);
