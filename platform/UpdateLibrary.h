#pragma once

// The program's update library: eight C calls over a release feed.
//
// The feed is an https URL, an http URL on a loopback host (127.0.0.0/8, ::1, "localhost"), or a
// folder (an absolute path or a file:// URL). Under it, "release.json" describes the newest
// release: {"version": "1.2.3", "package": "<file name under the same base>", "size": bytes,
// "sha256": "<hex>"}. The package is a zip of the install folder (the running executable's
// folder, unless a locator names another). A download lands in "<install>.staging.zip" beside the
// install folder, is checked against the size and the SHA-256, and is unpacked into
// "<install>.staging". Applying starts the helper "quorvelle-update" from the install folder,
// detached: once this process has ended it swaps the staged folder in (the old one is kept as
// "<install>.old" until the next start's `qvu_app_run` removes it) and starts the new program
// when a restart was asked for. A lock file beside the install folder refuses a second download
// or apply while one runs.
//
// Conventions, as the program's wrapper expects them: false (or 255 from the check) means
// failure, with the text in `qvu_get_last_error` (per thread); the library frees what it hands
// out (`qvu_free_update_info`, `qvu_free_update_manager`); texts are UTF-8.

#include <cstddef>
#include <cstdint>

extern "C"
{
struct qvu_Asset
{
    char* PackageId;
    char* Version;
    char* Type;
    char* FileName;
    char* SHA1;
    char* SHA256;
    uint64_t Size;
    char* NotesMarkdown;
    char* NotesHtml;
};

struct qvu_UpdateInfo
{
    qvu_Asset* TargetFullRelease;
    qvu_Asset* BaseRelease;
    qvu_Asset** DeltasToTarget;
    size_t DeltasToTargetCount;
    bool IsDowngrade;
};

// Where the program is installed and which version it is. Null fields (or no locator): the
// running executable's folder and the application object's version.
struct qvu_UpdateLocator
{
    const char* InstallDir;
    const char* CurrentVersion;
};

typedef void* qvu_UpdateManagerHandle;
typedef void (*qvu_ProgressCallback) (void* userData, size_t percent);

// Start-up hook: removes a leftover "<install>.old".
void qvu_app_run (void* userData);
bool qvu_new_update_manager (const char* feedUrl, const void* options, const qvu_UpdateLocator* locator, qvu_UpdateManagerHandle* outHandle);
// 0: an update exists and `*outInfo` is filled; 255: failure; 2: no update.
int16_t qvu_check_for_updates (qvu_UpdateManagerHandle handle, qvu_UpdateInfo** outInfo);
void qvu_free_update_info (qvu_UpdateInfo* info);
bool qvu_download_updates (qvu_UpdateManagerHandle handle, const qvu_UpdateInfo* info, qvu_ProgressCallback progress, void* userData);
bool qvu_wait_exit_then_apply_updates (qvu_UpdateManagerHandle handle, const qvu_Asset* asset, bool silent, bool restart,
                                       const char** restartArgs, size_t restartArgsCount);
// The length in bytes of this thread's last error text; copies up to `bufferSize` bytes of it
// (no terminator) when `buffer` is given.
size_t qvu_get_last_error (char* buffer, size_t bufferSize);
void qvu_free_update_manager (qvu_UpdateManagerHandle handle);
}

namespace quorvelle::platform
{
// The eight calls as a table, so that a fake library can stand in for the real one.
struct UpdateLibrary
{
    decltype (&qvu_app_run) appRun;
    decltype (&qvu_new_update_manager) newUpdateManager;
    decltype (&qvu_check_for_updates) checkForUpdates;
    decltype (&qvu_free_update_info) freeUpdateInfo;
    decltype (&qvu_download_updates) downloadUpdates;
    decltype (&qvu_wait_exit_then_apply_updates) waitExitThenApplyUpdates;
    decltype (&qvu_get_last_error) getLastError;
    decltype (&qvu_free_update_manager) freeUpdateManager;
};

const UpdateLibrary& systemUpdateLibrary();

// Frees a record made the way both libraries make them: texts from malloc, assets and the record
// from new, the delta list from new[].
void releaseUpdateInfo (qvu_UpdateInfo* info);

// "1.0.10" > "1.0.9": numeric parts compared in order, a missing part counts as 0. -1, 0 or 1;
// nothing when either text is not dot-separated decimal numbers.
bool compareVersions (const char* a, const char* b, int& result);

// True for an https URL, an http URL whose host is loopback, or a folder.
bool isAcceptedFeed (const char* feedUrl);
} // namespace quorvelle::platform
