#include "platform/FakeUpdateLibrary.h"

#include <cstdlib>
#include <cstring>

namespace quorvelle::platform
{
namespace
{
std::string fakeLastError;

int fakeManagerTag;

// malloc'd, as releaseUpdateInfo frees them.
char* duplicate (const char* text) { return text == nullptr ? nullptr : ::strdup (text); }

qvu_Asset* makeAsset (const char* version, const char* type)
{
    auto* asset = new qvu_Asset {};
    asset->PackageId = duplicate ("Quorvelle");
    asset->Version = duplicate (version);
    asset->Type = duplicate (type);
    asset->FileName = duplicate ("quorvelle-2.0.0.zip");
    asset->SHA256 = duplicate ("00");
    asset->Size = 42;
    // SHA1 and the release notes stay null: the wrapper must turn them into empty texts.
    return asset;
}

bool refuse()
{
    fakeLastError = fakeUpdateScript().errorText;
    return false;
}

void fakeAppRun (void*) { fakeUpdateScript().calls.push_back ("app_run"); }

bool fakeNewManager (const char* feedUrl, const void*, const qvu_UpdateLocator*, qvu_UpdateManagerHandle* out)
{
    auto& script = fakeUpdateScript();
    script.calls.push_back ("new_update_manager");
    script.feedUrl = feedUrl != nullptr ? feedUrl : "";
    if (script.refuseManager)
        return refuse();
    ++script.liveManagers;
    *out = &fakeManagerTag;
    return true;
}

int16_t fakeCheck (qvu_UpdateManagerHandle, qvu_UpdateInfo** out)
{
    auto& script = fakeUpdateScript();
    script.calls.push_back ("check_for_updates");
    if (script.checkResult == 255)
        refuse();
    if (script.checkResult != 0)
        return script.checkResult;

    auto* info = new qvu_UpdateInfo {};
    info->TargetFullRelease = script.nullTarget ? nullptr : makeAsset ("2.0.0", "Full");
    if (script.withBaseAndDeltas)
    {
        info->BaseRelease = makeAsset ("1.0.0", "Full");
        info->DeltasToTargetCount = 2;
        info->DeltasToTarget = new qvu_Asset*[2] { makeAsset ("1.5.0", "Delta"), makeAsset ("2.0.0", "Delta") };
    }
    ++script.liveInfos;
    *out = info;
    return 0;
}

void fakeFreeInfo (qvu_UpdateInfo* info)
{
    fakeUpdateScript().calls.push_back ("free_update_info");
    --fakeUpdateScript().liveInfos;
    releaseUpdateInfo (info);
}

bool fakeDownload (qvu_UpdateManagerHandle, const qvu_UpdateInfo* info, qvu_ProgressCallback, void*)
{
    auto& script = fakeUpdateScript();
    script.calls.push_back ("download_updates");
    script.downloadedTarget = info->TargetFullRelease != nullptr && info->TargetFullRelease->Version != nullptr ? info->TargetFullRelease->Version : "";
    script.downloadedDeltas = info->DeltasToTargetCount;
    return script.refuseDownload ? refuse() : true;
}

bool fakeApply (qvu_UpdateManagerHandle, const qvu_Asset* asset, bool silent, bool restart, const char**, size_t count)
{
    auto& script = fakeUpdateScript();
    script.calls.push_back ("wait_exit_then_apply_updates");
    script.appliedVersion = asset->Version != nullptr ? asset->Version : "";
    script.appliedSilent = silent;
    script.appliedRestart = restart;
    script.appliedArgumentCount = count;
    return script.refuseApply ? refuse() : true;
}

size_t fakeLastErrorText (char* buffer, size_t size)
{
    if (buffer != nullptr)
        std::memcpy (buffer, fakeLastError.data(), std::min (size, fakeLastError.size()));
    return fakeLastError.size();
}

void fakeFreeManager (qvu_UpdateManagerHandle)
{
    fakeUpdateScript().calls.push_back ("free_update_manager");
    --fakeUpdateScript().liveManagers;
}
} // namespace

FakeUpdateScript& fakeUpdateScript()
{
    static FakeUpdateScript script;
    return script;
}

const UpdateLibrary& fakeUpdateLibrary()
{
    static const UpdateLibrary library { &fakeAppRun, &fakeNewManager, &fakeCheck, &fakeFreeInfo,
                                         &fakeDownload, &fakeApply, &fakeLastErrorText, &fakeFreeManager };
    return library;
}
} // namespace quorvelle::platform
