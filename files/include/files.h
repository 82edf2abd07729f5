// SPDX-License-Identifier: MIT
// Numbered file channels: files opened under small integers chosen by the
// caller, each with one 4096-byte buffer that serves reads and writes alike.
//
// Threads: no lock is taken. A channel must be used by one thread at a time.
// Numbers below 16 live in a fixed block that never moves, so one thread may
// write channel 1 while another opens and closes other channels below 16.
// Allocation: opening allocates (the buffer), and so do the calls that
// return texts or lists; reads and writes never do.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Not for callers: what the inline two-byte calls below need to reach a
// channel's buffer without a call.
namespace files_detail {

constexpr int bufferSize = 4096;

enum class Mode : uint8_t { read, write };

struct FileChannel {
    int descriptor = -1;     // -1 while the entry is free
    char* buffer = nullptr;  // null: unbuffered channel
    int remaining = 0;       // write: free bytes left; read: bytes not yet consumed
    int filled = 0;          // read: bytes the last refill brought in
    Mode mode = Mode::read;
    // Set by the first write the kernel refuses; stays set until the channel
    // closes. Read by the channel's owning thread only.
    bool writeFailed = false;
    // The system's error number for the first refused write or read.
    int error = 0;
    // Read: the last refill met the file's end, so what the buffer holds is
    // all there is; and a read came back short for it. Past the end reads
    // give nothing and call nothing until a seek.
    bool endReached = false;
    bool ended = false;
    // Files of createFileFor: the bytes written so far, for putting them on
    // their way to disk as they come. -1 for other channels.
    int64_t writtenBehind = -1;
};

constexpr int fixedChannels = 16;
// What the layer keeps beyond the fixed block: files_internal.h.
struct Beyond;
// Every channel and what the layer keeps about the files behind them. The
// layer's calls take numbers, not a context, so this is its one record.
struct Registry {
    FileChannel fixed[fixedChannels];
    // Made at the first need, and kept until exit.
    Beyond* beyond = nullptr;
};
extern Registry registry;
FileChannel* channelBeyondFixed(int number);

// The open channel under a number, or null. Inline for the fixed numbers,
// which the save's two-byte loop looks up twice a pass.
inline FileChannel* channel(int number) {
    if (number < 0 || number >= fixedChannels) return number < 0 ? nullptr : channelBeyondFixed(number);
    FileChannel* entry = &registry.fixed[number];
    return entry->descriptor >= 0 ? entry : nullptr;
}

int writeSlow(FileChannel& entry, const void* data, int length);
int readSlow(FileChannel& entry, void* destination, int length);

}  // namespace files_detail

// Options for createFile, combined with |.
enum class CreateFlags : unsigned {
    none = 0,
    // Fail on a symbolic link instead of following it.
    refuseLinks = 1,
    // The file is the user's alone, and only one process at a time may have
    // it. A link is never followed (as with refuseLinks), and only a regular
    // file owned by the effective user with no other name is taken, and it
    // gets mode 0600, whatever the umask or its mode before. An exclusive
    // lock is taken before the file is emptied, and a file another process
    // holds is left untouched (the create fails). Anything refused is never
    // written, emptied or given a mode. Once taken, this process keeps the
    // lock until it exits, so the file stays its own between takes.
    exclusive = 2,
    // Fail when anything already exists under the name.
    newOnly = 4,
    // With exclusive: the file is taken as its own, but what it holds is
    // left as it was, for the caller to cut (truncateFile) once it has
    // something to put in its place. Writing starts at its beginning.
    keepContents = 8,
};
constexpr CreateFlags operator|(CreateFlags a, CreateFlags b) {
    return static_cast<CreateFlags>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool hasFlag(CreateFlags set, CreateFlags flag) {
    return (static_cast<unsigned>(set) & static_cast<unsigned>(flag)) != 0;
}

// Creates the file, or empties an existing one, for reading and writing.
// Whatever was open under the number is flushed and closed first, even when
// this open fails. Returns non-zero on success, 0 on failure with errno set;
// with the exclusive flag, errno tells the causes apart:
//   ELOOP        a symbolic link is under the name (dangling or not);
//   EWOULDBLOCK  another process holds the file;
//   EPERM        not the user's own: owned by another user, not a regular
//                file, or reachable under more than one name;
//   otherwise    the system's own error number (ENOENT for a missing folder,
//                EACCES, ...).
int createFile(int number, const char* name, CreateFlags flags = CreateFlags::none);
// Opens an existing file for reading only, and holds it as createFile's
// exclusive flag does, under the same rules on whose file it is; it is never
// emptied, and keeps its mode. 0 on failure, with errno as for createFile's
// exclusive flag (ENOENT when nothing is under the name).
int openExclusiveForReading(int number, const char* name);
// Opens the file that channel `from` has open once more, for reading only,
// under `number`: the same file whatever has become of its name since.
// Same replacement rule as createFile; 0 on failure.
int openReadSide(int number, int from);

// A file that takes its name only once complete and on disk: createFileFor
// opens it in the folder of `path` with no name at all where the file system
// can do that, so that nothing is left behind should the program die before
// it is published; elsewhere under a hidden name beside `path`. What is
// written goes on to the disk a few megabytes behind, so that no write and
// not the final sync waits long for the disk. Same replacement rule as
// createFile; 0 on failure, with errno set.
int createFileFor(int number, const char* path);
// Writes out what is pending, puts the file on disk, gives it the name
// `path` and closes the channel. With `mayReplace` false an existing `path`
// is never replaced (the error is then EEXIST); a file replaced keeps its
// permissions. Returns 0, or the system's error number for the call that
// failed, in which case nothing is left behind and `path` is as it was.
int publishFile(int number, const char* path, bool mayReplace);
// Closes a file of createFileFor's unpublished, leaving nothing behind.
void discardFile(int number);
// Writes out what is pending and closes. Returns false when any write on this
// channel, the final one included, or the close itself failed; true otherwise,
// also for a number that is not open.
bool closeFile(int number);
void closeAllFiles();
// True once a write on the open channel has been refused by the system.
bool fileWriteFailed(int number);
// The system's error number for the first write or read the open channel
// was refused; 0 when there was none.
int fileError(int number);
// Writes out what is pending. False when the channel is not open, or any
// write on it so far was refused; fileError then says why.
bool flushFile(int number);
// Writes out what is pending and asks the system to put the data on disk,
// with what reading it back needs (fdatasync): the cheap call for a file
// that keeps growing. A failure counts as a refused write, and fileError
// says why.
bool syncFileData(int number);
// Writes out what is pending and moves to `offset` bytes from the start,
// dropping what was read ahead; an earlier refused read is forgotten. False when the channel is not open or the
// system refuses.
bool seekFile(int number, int64_t offset);
// The size of the open file, -1 when the channel is not open.
int64_t openFileSize(int number);

// The bytes an ordinary user may still write on the file system that holds
// the open channel's file (the blocks statvfs calls available, which leave
// out those kept for the superuser); -1 when the channel is not open or the
// system cannot tell. It reads only the channel's descriptor, so it may be
// asked while another thread writes the channel.
int64_t availableBytesBeside(int number);

// Bytes [start, end) of a file.
struct FileStretch {
    int64_t start;
    int64_t end;
    bool operator==(const FileStretch&) const = default;
};
// The stretches of the first `limit` bytes of the open file that hold what
// was written to it, in order. The file's end and its holes cut them short:
// a file emptied in place under a writer that went on has a hole where it
// was, then what came after. Zero bytes next to a hole, within one block,
// are left out, because such a block holds zeros that nobody wrote. The
// channel's position is kept.
std::vector<FileStretch> writtenStretches(int number, int64_t limit);

// Writers return the number of bytes taken (0 when the channel is not open).
int writeString(int number, const char* text);
int writeLong(int number, int32_t value);
int writeByte(int number, int value);
int writeData(int number, const void* data, int length);
// Reads up to `length` bytes; fewer only where the file ends (fileEnded then
// says so) or a read failed (fileError says why). Returns the bytes read, 0
// for a number that is not open.
int readData(int number, void* destination, int length);

// The two-byte calls carry the save's copy loop, two bytes per pass, so
// their in-buffer case is inline; refills and flushes stay out of line.
inline int writeWord(int number, int value) {
    files_detail::FileChannel* entry = files_detail::channel(number);
    if (entry == nullptr) return 0;
    uint16_t word = static_cast<uint16_t>(value);
    if (entry->buffer != nullptr && entry->mode == files_detail::Mode::write && entry->remaining > 2) {
        std::memcpy(entry->buffer + files_detail::bufferSize - entry->remaining, &word, 2);
        entry->remaining -= 2;
        return 2;
    }
    return files_detail::writeSlow(*entry, &word, 2);
}

// The next two bytes as a signed 16-bit value; bytes the file does not have
// read as 0, and then the channel has ended (fileEnded). A number that is
// not open gives 0.
inline int readWord(int number) {
    files_detail::FileChannel* entry = files_detail::channel(number);
    if (entry == nullptr) return 0;
    int16_t word = 0;
    if (entry->buffer != nullptr && entry->mode == files_detail::Mode::read && entry->remaining >= 2) {
        std::memcpy(&word, entry->buffer + entry->filled - entry->remaining, 2);
        entry->remaining -= 2;
        return word;
    }
    files_detail::readSlow(*entry, &word, 2);
    return word;
}

// Moves `words` two-byte words from channel `from` to channel `to`, exactly
// as that many readWord and writeWord pairs would: the same bytes, and the
// same reads and writes of the system at the same points, since both buffers
// fill and empty where the pairs would fill and empty them. Within the two
// buffers the words move as one block. Stops where the source ends
// (fileEnded) and returns the words moved.
int64_t copyWords(int from, int to, int64_t words);
// True once a read on the open channel met the end of its file (which may
// have been cut short under it): from then on reads give 0 without asking
// the system, until a seek. Inline, since the save's two-byte loop asks.
inline bool fileEnded(int number) {
    const files_detail::FileChannel* entry = files_detail::channel(number);
    return entry != nullptr && entry->ended;
}
// The offset in its file of the next byte a read on the open channel gives;
// at the end, the offset the file ended at. -1 when the channel is not open.
int64_t fileReadOffset(int number);
// Writes out what is pending, cuts the open file to `size` bytes and goes
// on writing there. False when the system refuses (fileError says why).
bool truncateFile(int number, int64_t size);

// -1: nothing under the name (or an empty name); -2: a directory; else the
// size. A symbolic link is followed: one that leads nowhere gives -1.
int64_t fileSize(const char* name);
// True when the name itself is a symbolic link, wherever it leads or
// whether it leads anywhere: so that a message can name a link as a link
// where fileSize finds nothing.
bool isSymbolicLink(const char* name);
// The file-name part of a path: after the last "/" or "\".
std::string getFilePart(const char* path);
// The file a path ends at: a symbolic link is followed to its target, so
// that replacing the file leaves the link in place. Other paths as given.
std::string resolvedPath(const char* path);

// Notes: a short text kept with a file outside its bytes (a user extended
// attribute), so that it follows the file through a rename and leaves what the
// file holds alone. File systems without user attributes (FAT, some network
// mounts) keep none. Setting replaces the note of that key and puts it on
// disk; when it cannot be kept, no earlier note of the key is left either,
// and errno says why.
// On the open channel's file.
bool setFileNote(int number, const char* key, const std::string& text);
// The note of the open channel's file, or of a file by name (a link's own,
// never its target's); the empty text when it has none.
std::string fileNote(int number, const char* key);
std::string fileNote(const char* name, const char* key);

// Runs `action` with standard error pointed at /dev/null, then points it
// back: for a library that prints there whatever it is asked. What any other
// thread writes there meanwhile is lost too, so only while no other thread
// writes a line there that must be read.
void withoutStandardError(void (*action)());
