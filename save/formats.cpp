// SPDX-License-Identifier: MIT
// Which format a name is saved in, and what a save's result comes to.
#include <cerrno>
#include <string>

#include "save.h"

SaveTarget saveTargetFor(std::string path, SaveFormat selected) {
    for (const SaveFormatName& named : saveFormats)
        if (path.ends_with(named.suffix)) return {std::move(path), named.format};
    path += suffixOf(selected);
    return {std::move(path), selected};
}

SaveEnding endingOf(const SaveResult& result) {
    if (result.error == ECANCELED) return SaveEnding::cancelled;
    if (!result.saved) return result.error == 0 ? SaveEnding::nothingRead : SaveEnding::failed;
    return result.savedBytes < result.takeBytes ? SaveEnding::part : SaveEnding::whole;
}
