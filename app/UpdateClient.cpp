#include "app/UpdateClient.h"

#include <list>
#include <memory>
#include <string>

namespace quorvelle
{
namespace
{
juce::String textOf (const char* text) { return text != nullptr ? juce::String::fromUTF8 (text) : juce::String(); }

UpdateAsset assetFromLibrary (const qvu_Asset& asset)
{
    return { textOf (asset.PackageId), textOf (asset.Version), textOf (asset.Type), textOf (asset.FileName), textOf (asset.SHA1),
             textOf (asset.SHA256), asset.Size, textOf (asset.NotesMarkdown), textOf (asset.NotesHtml) };
}

// The library's form of the program's records for one call: every text is a fresh zero-terminated
// copy, released with this object right after the call.
class LibraryRecords
{
public:
    qvu_Asset* asset (const std::optional<UpdateAsset>& source)
    {
        if (! source.has_value())
            throw UpdateError ("Expected value not present");
        auto& made = assets.emplace_back();
        made.PackageId = text (source->packageId);
        made.Version = text (source->version);
        made.Type = text (source->type);
        made.FileName = text (source->fileName);
        made.SHA1 = text (source->sha1);
        made.SHA256 = text (source->sha256);
        made.Size = source->size;
        made.NotesMarkdown = text (source->notesMarkdown);
        made.NotesHtml = text (source->notesHtml);
        return &made;
    }

    qvu_UpdateInfo* info (const UpdateInfo& source)
    {
        infoRecord.TargetFullRelease = asset (source.targetFullRelease);
        infoRecord.BaseRelease = source.baseRelease.has_value() ? asset (source.baseRelease) : nullptr;
        deltas.clear();
        for (const auto& delta : source.deltasToTarget)
            deltas.push_back (asset (delta));
        infoRecord.DeltasToTarget = deltas.data();
        infoRecord.DeltasToTargetCount = deltas.size();
        infoRecord.IsDowngrade = source.isDowngrade;
        return &infoRecord;
    }

private:
    char* text (const juce::String& value)
    {
        return texts.emplace_back (value.toStdString()).data();
    }

    std::list<std::string> texts; // stable addresses
    std::list<qvu_Asset> assets;
    std::vector<qvu_Asset*> deltas;
    qvu_UpdateInfo infoRecord {};
};
} // namespace

UpdateClient::UpdateClient (const juce::String& feedUrl, const platform::UpdateLibrary& lib, const qvu_UpdateLocator* locator) : library (lib)
{
    if (! library.newUpdateManager (feedUrl.toRawUTF8(), nullptr, locator, &handle))
        throwLastError();
}

UpdateClient::~UpdateClient()
{
    if (handle != nullptr)
        library.freeUpdateManager (handle);
}

void UpdateClient::throwLastError() const
{
    const auto length = library.getLastError (nullptr, 0);
    std::string text (length, '\0');
    if (length > 0)
        library.getLastError (text.data(), length);
    throw UpdateError (text);
}

UpdateInfo UpdateClient::fromLibrary (const qvu_UpdateInfo& info)
{
    if (info.TargetFullRelease == nullptr)
        throw UpdateError ("Required property TargetFullRelease was null");
    UpdateInfo copy;
    copy.targetFullRelease = assetFromLibrary (*info.TargetFullRelease);
    if (info.BaseRelease != nullptr)
        copy.baseRelease = assetFromLibrary (*info.BaseRelease);
    for (size_t i = 0; i < info.DeltasToTargetCount; ++i)
        if (info.DeltasToTarget[i] != nullptr)
            copy.deltasToTarget.push_back (assetFromLibrary (*info.DeltasToTarget[i]));
    copy.isDowngrade = info.IsDowngrade;
    return copy;
}

std::optional<UpdateInfo> UpdateClient::checkForUpdates()
{
    qvu_UpdateInfo* raw = nullptr;
    const auto result = library.checkForUpdates (handle, &raw);
    if (result == 255)
        throwLastError();
    if (result != 0)
        return std::nullopt;

    // Released by the library once copied, also when the copy throws.
    const std::unique_ptr<qvu_UpdateInfo, decltype (library.freeUpdateInfo)> owned (raw, library.freeUpdateInfo);
    if (raw == nullptr)
        throw UpdateError ("Required property TargetFullRelease was null");
    return fromLibrary (*raw);
}

void UpdateClient::downloadUpdates (const UpdateInfo& info)
{
    LibraryRecords records;
    if (! library.downloadUpdates (handle, records.info (info), nullptr, nullptr))
        throwLastError();
}

void UpdateClient::waitExitThenApplyUpdates (const std::optional<UpdateAsset>& asset, bool silent, bool restart, const juce::StringArray& restartArguments)
{
    LibraryRecords records;
    auto* libraryAsset = records.asset (asset);
    std::list<std::string> argumentTexts;
    std::vector<const char*> arguments;
    for (const auto& argument : restartArguments)
        arguments.push_back (argumentTexts.emplace_back (argument.toStdString()).c_str());
    if (! library.waitExitThenApplyUpdates (handle, libraryAsset, silent, restart, arguments.data(), arguments.size()))
        throwLastError();
}
} // namespace quorvelle
