#include "platform/UpdateLibrary.h"

#include "platform/CheckedWrite.h"
#include "platform/UpdateSwap.h"

#include <curl/curl.h>
#include <juce_events/juce_events.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quorvelle::platform
{
namespace
{
constexpr juce::int64 manifestCap = 1 << 20;
constexpr juce::int64 unpackedCap = juce::int64 (8) << 30;
constexpr int chunkBytes = 1 << 20;
constexpr const char* programName = "quorvelle";
constexpr const char* helperName = "quorvelle-update";

thread_local std::string lastError;

bool fail (const std::string& text)
{
    lastError = text;
    return false;
}

bool fail (const juce::String& text) { return fail (text.toStdString()); }

struct Manager
{
    juce::String feed; // without a trailing "/"
    bool isFolder = false;
    juce::File install;
    juce::String currentVersion;
};

char* copyText (const juce::String& text)
{
    const auto* utf8 = text.toRawUTF8();
    const auto length = std::strlen (utf8);
    auto* copy = static_cast<char*> (std::malloc (length + 1));
    std::memcpy (copy, utf8, length + 1);
    return copy;
}


bool parseVersion (const char* text, std::vector<unsigned long long>& parts)
{
    if (text == nullptr || *text == 0)
        return false;
    unsigned long long value = 0;
    bool digits = false;
    for (const char* c = text;; ++c)
    {
        if (*c >= '0' && *c <= '9')
        {
            if (value > (~0ull - 9) / 10)
                return false;
            value = value * 10 + (unsigned) (*c - '0');
            digits = true;
        }
        else if (*c == '.' || *c == 0)
        {
            if (! digits)
                return false;
            parts.push_back (value);
            value = 0;
            digits = false;
            if (*c == 0)
                return true;
        }
        else
            return false;
    }
}

// A package name is one plain file name under the feed.
bool isPlainFileName (const juce::String& name)
{
    return name.isNotEmpty() && name.length() <= 255 && ! name.contains ("..")
           && name.containsOnly ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+-");
}

bool isLoopbackHost (const juce::String& host)
{
    if (host.equalsIgnoreCase ("localhost") || host == "[::1]")
        return true;
    const auto parts = juce::StringArray::fromTokens (host, ".", "");
    if (parts.size() != 4 || parts[0] != "127")
        return false;
    for (const auto& part : parts)
        if (part.isEmpty() || part.length() > 3 || ! part.containsOnly ("0123456789") || part.getIntValue() > 255)
            return false;
    return true;
}

juce::String folderOfFeed (const juce::String& feed)
{
    if (feed.startsWithIgnoreCase ("file://"))
        return juce::URL (feed).getLocalFile().getFullPathName();
    return feed;
}

using Sink = std::function<bool (const char*, size_t)>;

struct Transfer
{
    const Sink& sink;
    juce::int64 cap;
    juce::int64 total = 0;
    bool refused = false;
};

size_t onReceived (char* data, size_t, size_t length, void* user)
{
    auto& transfer = *static_cast<Transfer*> (user);
    transfer.total += (juce::int64) length;
    if (transfer.total > transfer.cap)
    {
        transfer.refused = true;
        return 0;
    }
    if (! transfer.sink (data, length))
    {
        transfer.refused = true;
        return 0;
    }
    return length;
}

// Fetches over HTTP(S) with libcurl: no redirects, only http and https, a stalled transfer ends.
bool fetchUrl (const juce::String& url, const juce::String& name, juce::int64 cap, const Sink& sink)
{
    std::unique_ptr<CURL, decltype (&curl_easy_cleanup)> curl (curl_easy_init(), &curl_easy_cleanup);
    if (curl == nullptr)
        return fail (juce::String ("no HTTP client"));
    Transfer transfer { sink, cap };
    const auto urlText = url.toStdString();
    curl_easy_setopt (curl.get(), CURLOPT_URL, urlText.c_str());
    curl_easy_setopt (curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt (curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt (curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt (curl.get(), CURLOPT_CONNECTTIMEOUT_MS, 15000L);
    curl_easy_setopt (curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt (curl.get(), CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt (curl.get(), CURLOPT_BUFFERSIZE, 256L * 1024L);
    curl_easy_setopt (curl.get(), CURLOPT_WRITEFUNCTION, &onReceived);
    curl_easy_setopt (curl.get(), CURLOPT_WRITEDATA, &transfer);
    const auto result = curl_easy_perform (curl.get());
    long status = 0;
    curl_easy_getinfo (curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (transfer.refused)
        return transfer.total > cap ? fail (name + " is larger than expected") : false;
    if (result != CURLE_OK)
        return fail ("cannot fetch " + url + ": " + juce::String::fromUTF8 (curl_easy_strerror (result)));
    if (status != 200)
        return fail (url + " answered " + juce::String (status));
    return true;
}

// Streams `name` under the feed into `sink` (false from it stops). At most `cap` bytes.
bool fetch (const Manager& manager, const juce::String& name, juce::int64 cap, const Sink& sink)
{
    if (! manager.isFolder)
        return fetchUrl (manager.feed + "/" + name, name, cap, sink);

    const auto file = juce::File (folderOfFeed (manager.feed)).getChildFile (name);
    juce::FileInputStream in (file);
    if (! in.openedOk())
        return fail ("cannot open " + file.getFullPathName());
    std::vector<char> buffer (chunkBytes);
    juce::int64 total = 0;
    for (;;)
    {
        const int got = in.read (buffer.data(), chunkBytes);
        if (got < 0)
            return fail ("reading " + name + " failed");
        if (got == 0)
            return true;
        total += got;
        if (total > cap)
            return fail (name + " is larger than expected");
        if (! sink (buffer.data(), (size_t) got))
            return false;
    }
}

// Holds the lock file beside the install folder while a download or an apply runs.
struct UpdateLock
{
    explicit UpdateLock (const juce::File& install)
    {
        const auto path = install.getFullPathName() + ".update.lock";
        fd = ::open (path.toRawUTF8(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0 && ::flock (fd, LOCK_EX | LOCK_NB) != 0)
        {
            ::close (fd);
            fd = -1;
        }
    }
    ~UpdateLock()
    {
        if (fd >= 0)
            ::close (fd);
    }
    bool held() const { return fd >= 0; }

    int fd = -1;
};

juce::String toHex (const unsigned char* bytes, unsigned length)
{
    return juce::String::toHexString (bytes, (int) length, 0);
}

// Every entry must land inside `staging` as a plain file or folder; the program must be there.
bool checkPackageEntries (juce::ZipFile& zip, const juce::File& staging)
{
    bool hasProgram = false;
    juce::int64 unpacked = 0;
    for (int i = 0; i < zip.getNumEntries(); ++i)
    {
        const auto* entry = zip.getEntry (i);
        const auto name = entry->filename;
        if (name.isEmpty() || name.startsWithChar ('/') || name.containsChar ('\\') || entry->isSymbolicLink)
            return fail ("package entry refused: " + name);
        for (const auto& part : juce::StringArray::fromTokens (name, "/", ""))
            if (part == "..")
                return fail ("package entry outside the install: " + name);
        if (! staging.getChildFile (name).isAChildOf (staging))
            return fail ("package entry outside the install: " + name);
        hasProgram = hasProgram || name == programName;
        unpacked += entry->uncompressedSize;
        if (unpacked > unpackedCap)
            return fail (juce::String ("package unpacks to more than the cap"));
    }
    return hasProgram ? true : fail (juce::String ("package holds no ") + programName);
}

bool unpackPackage (const juce::File& zipFile, const juce::File& staging)
{
    staging.deleteRecursively (false);
    if (! staging.createDirectory())
        return fail ("cannot create " + staging.getFullPathName());

    juce::ZipFile zip (zipFile);
    if (zip.getNumEntries() == 0)
        return fail (juce::String ("package is not a zip or is empty"));
    if (! checkPackageEntries (zip, staging))
        return false;

    for (int i = 0; i < zip.getNumEntries(); ++i)
    {
        const auto* entry = zip.getEntry (i);
        const auto result = zip.uncompressEntry (i, staging, juce::ZipFile::OverwriteFiles::yes, juce::ZipFile::FollowSymlinks::no);
        if (result.failed())
            return fail ("unpacking " + entry->filename + ": " + result.getErrorMessage());
        // JUCE 7 does not restore Unix modes: they sit in the high half of the external attributes.
        const auto mode = (mode_t) ((entry->externalFileAttributes >> 16) & 07777);
        if (mode != 0)
            ::chmod (staging.getChildFile (entry->filename).getFullPathName().toRawUTF8(), mode);
    }
    return true;
}

bool download (Manager& manager, const qvu_Asset& asset)
{
    const juce::String fileName = juce::String::fromUTF8 (asset.FileName != nullptr ? asset.FileName : "");
    const juce::String expectedHash = juce::String::fromUTF8 (asset.SHA256 != nullptr ? asset.SHA256 : "").toLowerCase();
    if (! isPlainFileName (fileName))
        return fail ("package name refused: " + fileName);
    if (expectedHash.length() != 64 || ! expectedHash.containsOnly ("0123456789abcdef"))
        return fail (juce::String ("package hash is not a SHA-256"));

    UpdateLock lock (manager.install);
    if (! lock.held())
        return fail (juce::String ("another update is in progress"));

    const juce::File zipFile (manager.install.getFullPathName() + ".staging.zip");
    CheckedReplacement replacement (zipFile);
    if (! replacement.isOpen())
        return fail (replacement.errorText());
    auto out = replacement.createStream();

    std::unique_ptr<EVP_MD_CTX, decltype (&EVP_MD_CTX_free)> hash (EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (hash == nullptr || EVP_DigestInit_ex (hash.get(), EVP_sha256(), nullptr) != 1)
        return fail (juce::String ("SHA-256 unavailable"));

    const auto size = (juce::int64) asset.Size;
    const bool fetched = fetch (manager, fileName, size, [&] (const char* data, size_t length)
    {
        EVP_DigestUpdate (hash.get(), data, length);
        return out->write (data, length) ? true : fail (juce::String ("writing the package failed"));
    });
    out.reset();
    if (! fetched)
        return false;

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digestLength = 0;
    EVP_DigestFinal_ex (hash.get(), digest, &digestLength);
    if (toHex (digest, digestLength) != expectedHash)
        return fail (juce::String ("package SHA-256 does not match"));
    if (! replacement.commit (size))
        return fail ("package size does not match: " + replacement.errorText());

    const bool unpacked = unpackPackage (zipFile, stagedInstallFolder (manager.install));
    zipFile.deleteFile();
    if (! unpacked)
        stagedInstallFolder (manager.install).deleteRecursively (false);
    return unpacked;
}
} // namespace

bool compareVersions (const char* a, const char* b, int& result)
{
    std::vector<unsigned long long> left, right;
    if (! parseVersion (a, left) || ! parseVersion (b, right))
        return false;
    const auto count = std::max (left.size(), right.size());
    left.resize (count, 0);
    right.resize (count, 0);
    result = left < right ? -1 : (left == right ? 0 : 1);
    return true;
}

bool isAcceptedFeed (const char* feedUrl)
{
    const juce::String feed = juce::String::fromUTF8 (feedUrl != nullptr ? feedUrl : "");
    if (feed.startsWithChar ('/') || feed.startsWithIgnoreCase ("file:///"))
        return true;
    if (feed.startsWithIgnoreCase ("https://"))
        return feed.length() > 8;
    if (! feed.startsWithIgnoreCase ("http://"))
        return false;
    const auto authority = feed.substring (7).upToFirstOccurrenceOf ("/", false, false);
    if (authority.containsChar ('@'))
        return false;
    const auto host = authority.startsWithChar ('[') ? authority.upToFirstOccurrenceOf ("]", true, false)
                                                     : authority.upToFirstOccurrenceOf (":", false, false);
    return isLoopbackHost (host);
}

void releaseUpdateInfo (qvu_UpdateInfo* info)
{
    if (info == nullptr)
        return;
    const auto freeAsset = [] (qvu_Asset* asset)
    {
        if (asset == nullptr)
            return;
        for (char* text : { asset->PackageId, asset->Version, asset->Type, asset->FileName, asset->SHA1, asset->SHA256, asset->NotesMarkdown, asset->NotesHtml })
            std::free (text);
        delete asset;
    };
    freeAsset (info->TargetFullRelease);
    freeAsset (info->BaseRelease);
    for (size_t i = 0; i < info->DeltasToTargetCount; ++i)
        freeAsset (info->DeltasToTarget[i]);
    delete[] info->DeltasToTarget;
    delete info;
}

const UpdateLibrary& systemUpdateLibrary()
{
    static const UpdateLibrary library { &qvu_app_run, &qvu_new_update_manager, &qvu_check_for_updates, &qvu_free_update_info,
                                         &qvu_download_updates, &qvu_wait_exit_then_apply_updates, &qvu_get_last_error, &qvu_free_update_manager };
    return library;
}
} // namespace quorvelle::platform

using namespace quorvelle::platform;

extern "C"
{
void qvu_app_run (void*)
{
    removeReplacedInstall (juce::File::getSpecialLocation (juce::File::currentExecutableFile).getParentDirectory());
}

bool qvu_new_update_manager (const char* feedUrl, const void*, const qvu_UpdateLocator* locator, qvu_UpdateManagerHandle* outHandle)
{
    if (outHandle == nullptr)
        return fail (std::string ("no handle to fill"));
    *outHandle = nullptr;
    if (feedUrl == nullptr || *feedUrl == 0)
        return fail (std::string ("no release feed configured"));
    if (! isAcceptedFeed (feedUrl))
        return fail (std::string ("release feed refused (https, loopback http or a folder): ") + feedUrl);

    auto manager = std::make_unique<Manager>();
    manager->feed = juce::String::fromUTF8 (feedUrl).trimCharactersAtEnd ("/");
    manager->isFolder = ! manager->feed.startsWithIgnoreCase ("http");
    if (locator != nullptr && locator->InstallDir != nullptr)
        manager->install = juce::File (juce::String::fromUTF8 (locator->InstallDir));
    else
        manager->install = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getParentDirectory();
    if (locator != nullptr && locator->CurrentVersion != nullptr)
        manager->currentVersion = juce::String::fromUTF8 (locator->CurrentVersion);
    else if (auto* app = juce::JUCEApplicationBase::getInstance())
        manager->currentVersion = app->getApplicationVersion();

    int ignored = 0;
    if (! compareVersions (manager->currentVersion.toRawUTF8(), "0", ignored))
        return fail ("the installed version is unknown: " + manager->currentVersion);

    *outHandle = manager.release();
    return true;
}

int16_t qvu_check_for_updates (qvu_UpdateManagerHandle handle, qvu_UpdateInfo** outInfo)
{
    constexpr int16_t failed = 255, noUpdate = 2, updateAvailable = 0;
    if (handle == nullptr || outInfo == nullptr)
        return fail (std::string ("no update manager")), failed;
    *outInfo = nullptr;
    auto& manager = *static_cast<Manager*> (handle);

    juce::MemoryOutputStream text;
    if (! fetch (manager, "release.json", manifestCap, [&] (const char* data, size_t length) { return text.write (data, length); }))
        return failed;

    const auto manifest = juce::JSON::parse (text.toUTF8());
    const auto version = manifest["version"];
    const auto package = manifest["package"];
    const auto size = manifest["size"];
    const auto sha256 = manifest["sha256"].toString().toLowerCase();
    int order = 0;
    if (! manifest.isObject() || ! version.isString() || ! compareVersions (version.toString().toRawUTF8(), manager.currentVersion.toRawUTF8(), order))
        return fail (std::string ("release.json has no valid version")), failed;
    if (! package.isString() || ! isPlainFileName (package.toString()))
        return fail ("release.json names a refused package: " + package.toString()), failed;
    if (! (size.isInt() || size.isInt64()) || (juce::int64) size < 0)
        return fail (std::string ("release.json has no valid size")), failed;
    if (sha256.length() != 64 || ! sha256.containsOnly ("0123456789abcdef"))
        return fail (std::string ("release.json has no valid sha256")), failed;
    if (order <= 0)
        return noUpdate;

    auto* target = new qvu_Asset {};
    target->PackageId = copyText ("Quorvelle");
    target->Version = copyText (version.toString());
    target->Type = copyText ("Full");
    target->FileName = copyText (package.toString());
    target->SHA256 = copyText (sha256);
    target->Size = (uint64_t) (juce::int64) size;
    auto* info = new qvu_UpdateInfo {};
    info->TargetFullRelease = target;
    *outInfo = info;
    return updateAvailable;
}

void qvu_free_update_info (qvu_UpdateInfo* info)
{
    releaseUpdateInfo (info);
}

bool qvu_download_updates (qvu_UpdateManagerHandle handle, const qvu_UpdateInfo* info, qvu_ProgressCallback, void*)
{
    if (handle == nullptr || info == nullptr || info->TargetFullRelease == nullptr)
        return fail (std::string ("nothing to download"));
    return download (*static_cast<Manager*> (handle), *info->TargetFullRelease);
}

bool qvu_wait_exit_then_apply_updates (qvu_UpdateManagerHandle handle, const qvu_Asset* asset, bool, bool restart, const char** restartArgs,
                                       size_t restartArgsCount)
{
    if (handle == nullptr || asset == nullptr)
        return fail (std::string ("nothing to apply"));
    const auto& manager = *static_cast<Manager*> (handle);
    const auto staging = stagedInstallFolder (manager.install);
    if (! staging.getChildFile (programName).existsAsFile())
        return fail ("no staged install at " + staging.getFullPathName());
    const auto helper = manager.install.getChildFile (helperName);
    if (::access (helper.getFullPathName().toRawUTF8(), X_OK) != 0)
        return fail ("no updater at " + helper.getFullPathName());

    UpdateLock lock (manager.install);
    if (! lock.held())
        return fail (std::string ("another update is in progress"));

    juce::StringArray arguments { "--pid", juce::String ((int) ::getpid()), "--install", manager.install.getFullPathName() };
    if (restart)
        arguments.add ("--restart");
    arguments.add ("--");
    for (size_t i = 0; i < restartArgsCount; ++i)
        arguments.add (juce::String::fromUTF8 (restartArgs[i]));

    // The helper inherits the lock and holds it until the swap is done.
    if (! spawnDetached (helper, arguments, lock.fd))
        return fail ("cannot start " + helper.getFullPathName());
    return true;
}

size_t qvu_get_last_error (char* buffer, size_t bufferSize)
{
    if (buffer != nullptr && bufferSize > 0)
        std::memcpy (buffer, lastError.data(), std::min (bufferSize, lastError.size()));
    return lastError.size();
}

void qvu_free_update_manager (qvu_UpdateManagerHandle handle)
{
    delete static_cast<Manager*> (handle);
}
}
