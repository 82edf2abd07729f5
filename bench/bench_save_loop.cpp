// SPDX-License-Identifier: MIT
// The floor of the save's own design: the same copy as a bare loop. A
// 46-byte header, then two bytes a pass from 4096-byte reads of the take,
// written out 4094 bytes at a time (where a 4096-byte buffer that keeps two
// bytes' room flushes), then fsync. No title, no checks beyond the calls'.
// Usage: bench_save_loop TAKE OUTPUT
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TAKE OUTPUT\n", argv[0]);
        return 2;
    }
    const int take = open(argv[1], O_RDONLY | O_CLOEXEC);
    const int output = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (take < 0 || output < 0) return 1;
    const int64_t size = lseek(take, 0, SEEK_END);
    lseek(take, 0, SEEK_SET);
    static char in[4096], out[4096];
    int filled = 0, consumed = 0, pending = 46;
    std::memset(out, 0, 46);
    // Every pass but an odd take's last moves two bytes.
    for (int64_t copied = 0; copied < size; copied += 2) {
        const int bytes = size - copied == 1 ? 1 : 2;
        // Reads of 4096 bytes from the start keep every pass within one.
        if (filled - consumed < bytes) {
            filled = static_cast<int>(read(take, in, sizeof in));
            consumed = 0;
            if (filled <= 0) return 1;
        }
        // Where the program's 4096-byte buffer flushes: when what is pending
        // and this pass would fill it.
        if (pending + bytes >= 4096) {
            if (write(output, out, static_cast<size_t>(pending)) != pending) return 1;
            pending = 0;
        }
        if (bytes == 2)
            std::memcpy(out + pending, in + consumed, 2);
        else
            out[pending] = in[consumed];
        consumed += 2;
        pending += bytes;
    }
    if (write(output, out, static_cast<size_t>(pending)) != pending) return 1;
    if (fsync(output) != 0 || close(output) != 0) return 1;
    close(take);
}
