// The update library over a loopback feed, the jobs that use it, and the updater's swap.
#include "UpdateTestSupport.h"

#include "app/UpdateFlow.h"
#include "platform/UpdateSwap.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>

extern char** environ;

namespace quorvelle::test
{
namespace
{
// Every file below `folder` with its content, for "unchanged" checks.
std::map<juce::String, juce::String> contentsOf (const juce::File& folder)
{
    std::map<juce::String, juce::String> contents;
    for (const auto& file : folder.findChildFiles (juce::File::findFilesAndDirectories, true))
        contents[file.getRelativePathFrom (folder)] = file.isDirectory() ? "<dir>" : file.loadFileAsString();
    return contents;
}

class LoopbackFeed : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (install.createDirectory());
        ASSERT_TRUE (feed.createDirectory());
        ASSERT_TRUE (install.getChildFile ("quorvelle").replaceWithText ("old program"));
        ASSERT_TRUE (install.getChildFile ("data.txt").replaceWithText ("old data"));
        installPath = install.getFullPathName().toStdString();
        locator = { installPath.c_str(), "1.0.0" };
        before = contentsOf (install);
    }

    juce::File package (const std::vector<ZipItem>& items, const juce::String& name = "quorvelle-1.0.1.zip")
    {
        const auto file = feed.getChildFile (name);
        EXPECT_TRUE (writeStoredZip (file, items));
        return file;
    }

    std::vector<ZipItem> goodItems() const
    {
        return { { "quorvelle", textBlock ("#!/bin/sh\nexit 0\n"), 0755 },
                 { "lib/", {}, 0755 },
                 { "lib/readme.txt", textBlock ("new data"), 0640 },
                 { "tool", textBlock ("tool"), 0700 } };
    }

    std::vector<juce::String> check (const juce::String& feedUrl)
    {
        std::vector<juce::String> versions;
        checkForUpdatesJob (feedUrl, [&versions] (const juce::String& v) { versions.push_back (v); }, platform::systemUpdateLibrary(), &locator);
        runMessageLoopFor (30);
        return versions;
    }

    int apply (const juce::String& feedUrl)
    {
        int quits = 0;
        applyUpdatesJob (feedUrl, [&quits] { ++quits; }, platform::systemUpdateLibrary(), &locator);
        runMessageLoopFor (30);
        return quits;
    }

    TempFolder temp;
    const juce::File install = temp / "app/install";
    const juce::File feed = temp / "feed";
    LoopbackFileServer server { feed };
    std::string installPath;
    qvu_UpdateLocator locator {};
    std::map<juce::String, juce::String> before;
};
} // namespace

TEST (UpdateLibraryRules, VersionsCompareNumericallyPartByPart)
{
    const struct
    {
        const char *a, *b;
        int expected; // 2: not comparable
    } cases[] = { { "1.0.10", "1.0.9", 1 }, { "1.0.9", "1.0.10", -1 }, { "1.0", "1.0.0", 0 }, { "2", "1.99.99", 1 },
                  { "1.0.1", "1.0.0", 1 },  { "01.0", "1.0", 0 },       { "1.x", "1.0", 2 },  { "", "1", 2 },
                  { "1..0", "1", 2 },       { "1.0.", "1", 2 },         { "-1", "1", 2 },     { "99999999999999999999999", "1", 2 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << c.a << " vs " << c.b);
        int result = 7;
        const bool comparable = platform::compareVersions (c.a, c.b, result);
        EXPECT_EQ (comparable ? result : 2, c.expected);
    }
}

TEST (UpdateLibraryRules, FeedsAreHttpsLoopbackHttpOrAFolder)
{
    const struct
    {
        const char* feed;
        bool accepted;
    } cases[] = { { "https://updates.example/q", true },      { "http://127.0.0.1:8080/feed", true }, { "http://127.9.0.1", true },
                  { "http://localhost:1/x", true },           { "http://[::1]:8/x", true },           { "/srv/feed", true },
                  { "file:///srv/feed", true },               { "http://10.0.0.1/feed", false },      { "http://example.com", false },
                  { "http://127.0.0.1@evil.test/", false },   { "http://128.0.0.1/", false },         { "http://127.0.0.256/", false },
                  { "http://localhost.evil.test/", false },   { "ftp://127.0.0.1/", false },          { "feed", false },
                  { "", false } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.feed);
        EXPECT_EQ (platform::isAcceptedFeed (c.feed), c.accepted);
    }
}

TEST_F (LoopbackFeed, CheckReportsOnlyANewerReleaseFromAnAcceptedFeed)
{
    const auto zip = package (goodItems());
    const auto manifest = feed.getChildFile ("release.json");
    const auto writeRaw = [&] (const juce::String& json) { manifest.replaceWithText (json, false, false, "\n"); };

    writeManifest (feed, "1.0.1", zip);
    EXPECT_EQ (check (server.url()), std::vector<juce::String> { "1.0.1" });
    EXPECT_EQ (check (server.url() + "/"), std::vector<juce::String> { "1.0.1" });
    EXPECT_EQ (check (feed.getFullPathName()), std::vector<juce::String> { "1.0.1" });
    // A plain-http feed elsewhere is refused before anything is fetched.
    const auto requests = server.requestCount();
    EXPECT_TRUE (check ("http://192.0.2.1:" + juce::String (server.port())).empty());
    EXPECT_EQ (server.requestCount(), requests);

    const struct
    {
        const char* name;
        std::function<void()> prepare;
    } cases[] = {
        { "same version", [&] { writeManifest (feed, "1.0.0", zip); } },
        { "older version", [&] { writeManifest (feed, "0.9.9", zip); } },
        { "not JSON", [&] { writeRaw ("{\"version\": \"1.0.1\""); } },
        { "no version", [&] { writeRaw ("{\"package\": \"quorvelle-1.0.1.zip\", \"size\": 1, \"sha256\": \"" + sha256Of (zip) + "\"}"); } },
        { "version not numeric", [&] { writeRaw ("{\"version\": \"1.0.x\", \"package\": \"p.zip\", \"size\": 1, \"sha256\": \"" + sha256Of (zip) + "\"}"); } },
        { "package with a slash", [&] { writeRaw ("{\"version\": \"1.0.1\", \"package\": \"a/p.zip\", \"size\": 1, \"sha256\": \"" + sha256Of (zip) + "\"}"); } },
        { "package with dots", [&] { writeRaw ("{\"version\": \"1.0.1\", \"package\": \"..p.zip\", \"size\": 1, \"sha256\": \"" + sha256Of (zip) + "\"}"); } },
        { "no manifest", [&] { manifest.deleteFile(); } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        c.prepare();
        EXPECT_TRUE (check (server.url()).empty());
    }

    juce::String stoppedUrl;
    {
        LoopbackFileServer stopped (feed);
        stoppedUrl = stopped.url();
    }
    writeManifest (feed, "1.0.1", zip);
    EXPECT_TRUE (check (stoppedUrl).empty());
    EXPECT_EQ (contentsOf (install), before);
}

TEST_F (LoopbackFeed, DownloadUnpacksThePackageBesideTheInstallWithItsModes)
{
    writeManifest (feed, "1.0.1", package (goodItems()));
    UpdateClient client (server.url(), platform::systemUpdateLibrary(), &locator);
    const auto update = client.checkForUpdates();
    ASSERT_TRUE (update.has_value());
    client.downloadUpdates (*update);

    const auto staging = platform::stagedInstallFolder (install);
    EXPECT_EQ (staging.getFullPathName(), install.getFullPathName() + ".staging");
    EXPECT_EQ (staging.getChildFile ("lib/readme.txt").loadFileAsString(), "new data");
    const struct
    {
        const char* name;
        mode_t mode;
    } modes[] = { { "quorvelle", 0755 }, { "lib/readme.txt", 0640 }, { "tool", 0700 } };
    for (const auto& m : modes)
    {
        struct stat info {};
        ASSERT_EQ (::stat (staging.getChildFile (m.name).getFullPathName().toRawUTF8(), &info), 0) << m.name;
        EXPECT_EQ (info.st_mode & 07777, m.mode) << m.name;
    }
    EXPECT_FALSE (juce::File (install.getFullPathName() + ".staging.zip").exists());
    EXPECT_EQ (contentsOf (install), before);
}

TEST_F (LoopbackFeed, BadPackagesAreRefusedWithTheInstallUnchanged)
{
    const auto staging = platform::stagedInstallFolder (install);
    const struct
    {
        const char* name;
        std::function<void()> prepare;
    } cases[] = {
        { "wrong SHA-256", [&] {
              const auto zip = package (goodItems());
              writeManifest (feed, "1.0.1", zip);
              auto text = feed.getChildFile ("release.json").loadFileAsString();
              feed.getChildFile ("release.json").replaceWithText (text.replace (sha256Of (zip), juce::String::repeatedString ("0", 64)));
          } },
        { "size larger than declared", [&] {
              const auto zip = package (goodItems());
              writeManifest (feed, "1.0.1", zip);
              auto text = feed.getChildFile ("release.json").loadFileAsString();
              feed.getChildFile ("release.json").replaceWithText (text.replace ("\"size\": " + juce::String (zip.getSize()), "\"size\": " + juce::String (zip.getSize() - 1)));
          } },
        { "size smaller than declared", [&] {
              const auto zip = package (goodItems());
              writeManifest (feed, "1.0.1", zip);
              auto text = feed.getChildFile ("release.json").loadFileAsString();
              feed.getChildFile ("release.json").replaceWithText (text.replace ("\"size\": " + juce::String (zip.getSize()), "\"size\": " + juce::String (zip.getSize() + 1)));
          } },
        { "entry outside the staging folder", [&] {
              auto items = goodItems();
              items.push_back ({ "lib/../../evil", textBlock ("x"), 0644 });
              writeManifest (feed, "1.0.1", package (items));
          } },
        { "absolute entry", [&] {
              auto items = goodItems();
              items.push_back ({ "/tmp/evil-absolute", textBlock ("x"), 0644 });
              writeManifest (feed, "1.0.1", package (items));
          } },
        { "no program in the package", [&] { writeManifest (feed, "1.0.1", package ({ { "tool", textBlock ("tool"), 0755 } })); } },
        { "not a zip", [&] {
              const auto file = feed.getChildFile ("quorvelle-1.0.1.zip");
              file.replaceWithText ("this is not a zip file");
              writeManifest (feed, "1.0.1", file);
          } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        c.prepare();
        EXPECT_EQ (apply (server.url()), 0);
        EXPECT_EQ (contentsOf (install), before);
        EXPECT_FALSE (staging.exists());
        EXPECT_FALSE ((temp / "app/evil").exists());
        EXPECT_FALSE (juce::File ("/tmp/evil-absolute").exists());
        juce::StringArray besideInstall;
        for (const auto& f : install.getParentDirectory().findChildFiles (juce::File::findFilesAndDirectories, false))
            besideInstall.add (f.getFileName());
        besideInstall.sort (false);
        EXPECT_EQ (besideInstall.joinIntoString (","), "install,install.update.lock");
    }
}

TEST_F (LoopbackFeed, ASecondUpdateWaitsForTheLockAndAnInstallWithoutUpdaterIsNotApplied)
{
    writeManifest (feed, "1.0.1", package (goodItems()));
    const auto lockPath = install.getFullPathName() + ".update.lock";
    const int held = ::open (lockPath.toRawUTF8(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE (held, 0);
    ASSERT_EQ (::flock (held, LOCK_EX), 0);
    UpdateClient client (server.url(), platform::systemUpdateLibrary(), &locator);
    const auto update = client.checkForUpdates();
    ASSERT_TRUE (update.has_value());
    try
    {
        client.downloadUpdates (*update);
        ADD_FAILURE() << "a download ran beside a held lock";
    }
    catch (const UpdateError& e)
    {
        EXPECT_STREQ (e.what(), "another update is in progress");
    }
    ::close (held);

    // Downloaded and staged, but this install has no updater to hand it to: no quit.
    EXPECT_EQ (apply (server.url()), 0);
    EXPECT_TRUE (platform::stagedInstallFolder (install).getChildFile ("quorvelle").existsAsFile());
    EXPECT_EQ (contentsOf (install), before);
}

TEST (UpdateSwap, TwoRenamesWithTheOldInstallKeptAndRolledBackOnFailure)
{
    TempFolder temp;
    const auto install = temp / "install";
    const auto staging = platform::stagedInstallFolder (install);
    ASSERT_TRUE (install.createDirectory() && staging.createDirectory());
    ASSERT_TRUE (install.getChildFile ("quorvelle").replaceWithText ("old"));
    ASSERT_TRUE (staging.getChildFile ("quorvelle").replaceWithText ("new"));

    juce::String error;
    ASSERT_TRUE (platform::swapInInstall (install, staging, error)) << error;
    EXPECT_EQ (install.getChildFile ("quorvelle").loadFileAsString(), "new");
    const auto old = platform::replacedInstallFolder (install);
    EXPECT_EQ (old.getChildFile ("quorvelle").loadFileAsString(), "old");
    EXPECT_FALSE (staging.exists());

    // Nothing staged: the install stays, and the leftover of the last swap is gone only at start.
    EXPECT_FALSE (platform::swapInInstall (install, staging, error));
    EXPECT_EQ (install.getChildFile ("quorvelle").loadFileAsString(), "new");
    platform::removeReplacedInstall (install);
    EXPECT_FALSE (old.exists());

    // A folder at "<install>.old" that no swap made is never removed.
    ASSERT_TRUE (old.createDirectory() && staging.createDirectory());
    ASSERT_TRUE (old.getChildFile ("keep").replaceWithText ("user data"));
    ASSERT_TRUE (staging.getChildFile ("quorvelle").replaceWithText ("newer"));
    EXPECT_FALSE (platform::swapInInstall (install, staging, error));
    platform::removeReplacedInstall (install);
    EXPECT_EQ (old.getChildFile ("keep").loadFileAsString(), "user data");
    EXPECT_EQ (install.getChildFile ("quorvelle").loadFileAsString(), "new");

    // A second rename that fails undoes the first: a staged folder on another file system
    // (the test's private /dev/shm) cannot be renamed in.
    ASSERT_TRUE (old.deleteRecursively());
    const auto otherFileSystem = juce::File ("/dev/shm").getChildFile ("quorvelle-swap-" + juce::String (::getpid()));
    ASSERT_TRUE (otherFileSystem.getChildFile ("staging").createDirectory());
    ASSERT_TRUE (otherFileSystem.getChildFile ("staging/quorvelle").replaceWithText ("elsewhere"));
    EXPECT_FALSE (platform::swapInInstall (install, otherFileSystem.getChildFile ("staging"), error));
    EXPECT_TRUE (error.startsWith ("cannot move the staged install in")) << error;
    EXPECT_EQ (install.getChildFile ("quorvelle").loadFileAsString(), "new");
    EXPECT_FALSE (old.exists());
    otherFileSystem.deleteRecursively();
}

TEST (UpdateSwap, WaitingForAProcessSeesItsEndAlsoBeforeItIsReaped)
{
    const auto spawn = [] (const char* seconds)
    {
        const char* argv[] = { "/bin/sleep", seconds, nullptr };
        pid_t pid = -1;
        posix_spawn (&pid, "/bin/sleep", nullptr, nullptr, const_cast<char**> (argv), environ);
        return pid;
    };

    const auto running = spawn ("30");
    ASSERT_GT (running, 0);
    EXPECT_FALSE (platform::waitForProcessEnd (running, 50));
    ::kill (running, SIGKILL);
    EXPECT_TRUE (platform::waitForProcessEnd (running, 20000)); // a zombie until reaped below
    int status = 0;
    ::waitpid (running, &status, 0);
}
} // namespace quorvelle::test
