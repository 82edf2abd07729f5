// SPDX-License-Identifier: MIT
// Memory for the take writer's ring, touched and locked when it is made: a
// fresh page would fault in the callback the first time it fills it, and a
// page swapped out would make the callback wait for the disk.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstring>
#include <new>

template <typename T>
struct LockedAllocator {
    using value_type = T;
    LockedAllocator() = default;
    template <typename U>
    LockedAllocator(const LockedAllocator<U>&) {}
    T* allocate(size_t count) {
        T* memory = static_cast<T*>(::operator new(count * sizeof(T)));
        std::memset(static_cast<void*>(memory), 0, count * sizeof(T));
        // Without the privilege the pages stay touched but may be swapped.
        ::mlock(memory, count * sizeof(T));
        return memory;
    }
    void deallocate(T* memory, size_t count) {
        ::munlock(memory, count * sizeof(T));
        ::operator delete(memory);
    }
    template <typename U>
    bool operator==(const LockedAllocator<U>&) const {
        return true;
    }
};
