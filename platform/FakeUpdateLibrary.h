#pragma once

#include "platform/UpdateLibrary.h"

#include <mutex>
#include <string>
#include <vector>

namespace quorvelle::platform
{
// A scriptable stand-in for the update library, for tests of the program's wrapper. The script is
// process-wide; `reset` puts it back to "no update".
struct FakeUpdateScript
{
    bool refuseManager = false;
    int16_t checkResult = 2;         // 0: update, 255: failure, other: none
    bool nullTarget = false;         // an update whose target full release is missing
    bool withBaseAndDeltas = false;  // an update that also carries a base release and two deltas
    bool refuseDownload = false;
    bool refuseApply = false;
    std::string errorText = "fake failure";

    // What the program handed over.
    std::vector<std::string> calls;
    std::string feedUrl;
    std::string downloadedTarget;    // the target's version at the download
    size_t downloadedDeltas = 0;
    std::string appliedVersion;
    bool appliedSilent = true, appliedRestart = false;
    size_t appliedArgumentCount = 99;
    int liveManagers = 0;
    int liveInfos = 0;

    void reset() { *this = FakeUpdateScript(); }
};

FakeUpdateScript& fakeUpdateScript();
const UpdateLibrary& fakeUpdateLibrary();
} // namespace quorvelle::platform
