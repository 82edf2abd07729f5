// SPDX-License-Identifier: MIT
// A source of the sound server that a capture reads, as the server's thread
// sees it: found by its number and name, lost when the server no longer
// lists it, and told which source the capture's streams really read.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "capture.h"
#include "capture_internal.h"

namespace {

// A name all digits is read by a server as a source's number first.
bool nameIsNumber(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool nameFindsItAlone(const std::string& name, const std::vector<ServerSource>& listed) {
    return !nameIsNumber(name) && std::count_if(listed.begin(), listed.end(),
                                                [&](const ServerSource& source) { return source.name == name; }) <= 1;
}

}  // namespace

void SourceWatch::noteListedAtLoss(const std::vector<ServerSource>& listed) {
    listedAtLoss.clear();
    for (const ServerSource& other : listed) listedAtLoss.push_back(other.index);
}

void SourceWatch::begin(const std::vector<ServerSource>& listed) {
    std::lock_guard lock(guard);
    present = std::any_of(listed.begin(), listed.end(), [&](const ServerSource& other) {
        return other.index == source.index && other.name == source.name;
    });
    nameAmbiguous = !nameFindsItAlone(source.name, listed);
    noteListedAtLoss(listed);
}

// One that went comes back as a source of its name that was not listed when
// it went: not another source that shares its name.
void SourceWatch::follow(const std::vector<ServerSource>& listed) {
    std::lock_guard lock(guard);
    const bool wasPresent = present.load(std::memory_order_relaxed);
    auto found = std::find_if(listed.begin(), listed.end(), [&](const ServerSource& other) {
        return other.index == source.index && other.name == source.name;
    });
    if (found == listed.end() && !wasPresent)
        found = std::find_if(listed.begin(), listed.end(), [&](const ServerSource& other) {
            return other.name == source.name &&
                   std::find(listedAtLoss.begin(), listedAtLoss.end(), other.index) == listedAtLoss.end();
        });
    const bool isListed = found != listed.end();
    if (!isListed && wasPresent) {
        losses.fetch_add(1, std::memory_order_seq_cst);
        noteListedAtLoss(listed);
    }
    if (isListed) {
        source = *found;
        nameAmbiguous = !nameFindsItAlone(source.name, listed);
    }
    present.store(isListed, std::memory_order_seq_cst);
}

void SourceWatch::removed(uint32_t index, const std::vector<ServerSource>& listed) {
    std::lock_guard lock(guard);
    if (source.index != index || !present.load(std::memory_order_relaxed)) return;
    // At once, before the list is fetched again: the server has already
    // moved the source's streams to another source, and what that one
    // delivers must not reach the take.
    losses.fetch_add(1, std::memory_order_seq_cst);
    present.store(false, std::memory_order_seq_cst);
    noteListedAtLoss(listed);
}

void SourceWatch::serverGone() {
    std::lock_guard lock(guard);
    present.store(false, std::memory_order_seq_cst);
    // Numbered anew when it comes back: found again by name.
    listedAtLoss.clear();
}

// The chosen source confirms the stream; any other means the stream was
// opened or moved there, and what it reads there reaches nothing.
void SourceWatch::streamReads(const std::string& streamMark, uint32_t read, const std::vector<ServerSource>& listed) {
    std::lock_guard lock(guard);
    if (streamMark != mark) return;
    if (read == source.index && present.load(std::memory_order_relaxed)) {
        confirmed.store(std::stoull(mark.substr(mark.rfind('.') + 1)), std::memory_order_seq_cst);
        return;
    }
    const auto given =
        std::find_if(listed.begin(), listed.end(), [&](const ServerSource& other) { return other.index == read; });
    givenInstead = given != listed.end() ? given->description : "another source";
    diversions.fetch_add(1, std::memory_order_seq_cst);
}
