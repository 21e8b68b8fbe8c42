#include "platform/StorageRoot.h"
#include "platform/SystemProbes.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

using namespace quorvelle;
using quorvelle::test::CapturingLogger;
using quorvelle::test::TempFolder;

namespace
{
// Every case starts unresolved, with no configuration and no device id on disk (HOME is the
// test's own temporary folder).
class HostIdentity : public ::testing::Test
{
protected:
    void SetUp() override
    {
        getApplicationDataFolder().deleteRecursively();
        getDefaultStorageRoot().deleteRecursively();
        resetHostIdentityCachesForTesting();
    }

    void TearDown() override
    {
        platform::setDriveInfoProbeForTesting (nullptr);
        unsetenv ("OneDrive");
        unsetenv ("OneDriveCommercial");
    }

    void writeConfig (const juce::String& text)
    {
        getApplicationDataFolder().createDirectory();
        ASSERT_TRUE (getStorageRootConfigFile().replaceWithText (text));
    }

    juce::StringArray storageLogLines()
    {
        juce::StringArray out;
        for (auto& l : logger.lines())
            if (l.startsWith ("[STORAGE-ROOT]"))
                out.add (l);
        return out;
    }

    CapturingLogger logger;
    TempFolder tmp;
};
} // namespace

TEST_F (HostIdentity, FoldersFollowTheUsersHome)
{
    const auto home = juce::File ("~").getFullPathName();
    EXPECT_EQ (getApplicationDataFolder().getFullPathName(), home + "/.config/Quorvelle");
    EXPECT_EQ (getDefaultStorageRoot().getFullPathName(), home + "/Music/Quorvelle");
    EXPECT_EQ (getStorageRootConfigFile().getFileName(), "storage-root");
}

TEST_F (HostIdentity, ValidateReportsEveryOutcome)
{
    auto regularFile = tmp / "plain.txt";
    ASSERT_TRUE (regularFile.replaceWithText ("x"));

    struct Case
    {
        juce::String path;
        StorageRootStatus expected;
    };
    const Case cases[] = {
        { "Music/Quorvelle", StorageRootStatus::notAbsolute },
        { "", StorageRootStatus::notAbsolute },
        { "//server/share/Quorvelle", StorageRootStatus::networkDrive },
        { regularFile.getChildFile ("Quorvelle").getFullPathName(), StorageRootStatus::notCreatable },
        // Even root cannot create a file in a /proc folder.
        { "/proc/self", StorageRootStatus::notWritable },
        { (tmp / "Dropbox/Quorvelle").getFullPathName(), StorageRootStatus::syncedFolderWarning },
        { (tmp / "stuff/Google Drive/Quorvelle").getFullPathName(), StorageRootStatus::syncedFolderWarning },
        { (tmp / "plain/Quorvelle").getFullPathName(), StorageRootStatus::ok },
    };

    for (auto& c : cases)
        EXPECT_EQ (validateStorageRoot (c.path), c.expected) << c.path;

    // The write probe is gone afterwards, and the folder it made stays.
    EXPECT_TRUE ((tmp / "plain/Quorvelle").isDirectory());
    EXPECT_FALSE ((tmp / "plain/Quorvelle/.quorvelle-write-test").exists());
}

TEST_F (HostIdentity, ValidateAsksTheDriveType)
{
    platform::DriveType type = platform::DriveType::removable;
    platform::setDriveInfoProbeForTesting ([&] (const juce::File&) {
        platform::DriveInfo d;
        d.type = type;
        return d;
    });

    const auto path = (tmp / "stick/Quorvelle").getFullPathName();
    EXPECT_EQ (validateStorageRoot (path), StorageRootStatus::removableDrive);
    EXPECT_FALSE ((tmp / "stick").exists()) << "a refused drive is not written to";
    type = platform::DriveType::optical;
    EXPECT_EQ (validateStorageRoot (path), StorageRootStatus::removableDrive);
    type = platform::DriveType::network;
    EXPECT_EQ (validateStorageRoot (path), StorageRootStatus::networkDrive);
    type = platform::DriveType::fixed;
    EXPECT_EQ (validateStorageRoot (path), StorageRootStatus::ok);
}

TEST_F (HostIdentity, OneDriveVariablesMarkSyncedFolders)
{
    auto cloud = tmp / "Cloud Files";
    setenv ("OneDrive", "", 1);
    EXPECT_EQ (validateStorageRoot (cloud.getChildFile ("Quorvelle").getFullPathName()), StorageRootStatus::ok)
        << "an empty variable marks nothing";

    setenv ("OneDriveCommercial", cloud.getFullPathName().toUpperCase().toRawUTF8(), 1);
    EXPECT_EQ (validateStorageRoot (cloud.getChildFile ("Quorvelle").getFullPathName()),
               StorageRootStatus::syncedFolderWarning);
    EXPECT_EQ (validateStorageRoot ((tmp / "Elsewhere/Quorvelle").getFullPathName()), StorageRootStatus::ok);
}

TEST_F (HostIdentity, ResolveUsesAWritableConfiguredRoot)
{
    auto chosen = tmp / "Band/Quorvelle";
    writeConfig ("  " + chosen.getFullPathName() + "\n");
    EXPECT_TRUE (hasStorageRootConfig());
    EXPECT_EQ (resolveStorageRoot(), chosen);
    EXPECT_TRUE (chosen.isDirectory()) << "a missing configured root is created";
    EXPECT_EQ (getStorageRoot(), chosen);
    EXPECT_TRUE (storageLogLines().isEmpty());
}

TEST_F (HostIdentity, ResolveFallsBackToTheDefault)
{
    // Another last component: ignored silently.
    writeConfig ((tmp / "Band/Songs").getFullPathName());
    EXPECT_EQ (resolveStorageRoot(), getDefaultStorageRoot());
    EXPECT_TRUE (storageLogLines().isEmpty());

    // A root that cannot be made (below a regular file): logged, then the default.
    auto regularFile = tmp / "plain.txt";
    ASSERT_TRUE (regularFile.replaceWithText ("x"));
    const auto unusable = regularFile.getChildFile ("Quorvelle").getFullPathName();
    writeConfig (unusable);
    EXPECT_EQ (resolveStorageRoot(), getDefaultStorageRoot());
    ASSERT_EQ (storageLogLines().size(), 1);
    EXPECT_EQ (storageLogLines()[0],
               "[STORAGE-ROOT] config apunta a raiz inaccesible (" + unusable + ") -> fallback al default");
    EXPECT_FALSE (getDefaultStorageRoot().exists()) << "the default is returned without being created";

    // Empty and blank files count as no configuration.
    for (auto text : { "", "   \n\t " })
    {
        writeConfig (text);
        EXPECT_FALSE (hasStorageRootConfig());
        EXPECT_EQ (resolveStorageRoot(), getDefaultStorageRoot());
    }
}

TEST_F (HostIdentity, CachedRootChangesOnlyThroughPersist)
{
    auto first = tmp / "A/Quorvelle";
    writeConfig (first.getFullPathName());
    EXPECT_EQ (getStorageRoot(), first);

    // Editing the file is not seen by the cache.
    writeConfig ((tmp / "B/Quorvelle").getFullPathName());
    EXPECT_EQ (getStorageRoot(), first);

    EXPECT_FALSE (persistStorageRoot (tmp / "C/NotQuorvelle"));
    EXPECT_EQ (getStorageRootConfigFile().loadFileAsString(), (tmp / "B/Quorvelle").getFullPathName());

    auto chosen = tmp / "C/Quorvelle";
    EXPECT_TRUE (persistStorageRoot (chosen));
    EXPECT_EQ (getStorageRoot(), chosen);
    EXPECT_EQ (getStorageRootConfigFile().loadFileAsString(), chosen.getFullPathName()) << "no line end";
}

TEST_F (HostIdentity, DefaultRootLibraryDetection)
{
    EXPECT_FALSE (defaultRootHasLibrary());
    auto root = getDefaultStorageRoot();
    root.getChildFile ("Songs").create(); // a file named Songs is not a library
    EXPECT_FALSE (defaultRootHasLibrary());
    root.getChildFile ("Songs").deleteFile();
    root.getChildFile ("Pads").createDirectory();
    EXPECT_TRUE (defaultRootHasLibrary());
    root.getChildFile ("Pads").deleteRecursively();
    root.getChildFile ("library.json").replaceWithText ("{}");
    EXPECT_TRUE (defaultRootHasLibrary());
}

TEST_F (HostIdentity, DeviceIdIsCreatedStoredAndTrimmed)
{
    const auto id = getDeviceId();
    EXPECT_EQ (id.length(), 36);
    EXPECT_TRUE (id.containsOnly ("0123456789abcdef-"));
    EXPECT_EQ (id[14], '4') << "version 4";
    EXPECT_EQ (getDeviceIdFile().loadFileAsString(), id);
    EXPECT_EQ (getDeviceId(), id);

    // An edited file holding another well-formed id is used, trimmed; any other text is replaced.
    ASSERT_TRUE (getDeviceIdFile().replaceWithText ("  0123abcd-0000-4000-8000-00000000beef \n"));
    resetHostIdentityCachesForTesting();
    EXPECT_EQ (getDeviceId(), "0123abcd-0000-4000-8000-00000000beef");
    ASSERT_TRUE (getDeviceIdFile().replaceWithText ("my-own id"));
    resetHostIdentityCachesForTesting();
    EXPECT_EQ (getDeviceId().length(), 36);

    // Blank or missing files give a new id.
    ASSERT_TRUE (getDeviceIdFile().replaceWithText (" \n"));
    resetHostIdentityCachesForTesting();
    const auto fresh = getDeviceId();
    EXPECT_EQ (fresh.length(), 36);
    EXPECT_NE (fresh, id);
}

// Runs only as a child process of DeviceIdSurvivesARestart: prints what a fresh process reads.
TEST (HostIdentityChild, PrintDeviceId)
{
    auto out = juce::SystemStats::getEnvironmentVariable ("QUORVELLE_CHILD_OUT", {});
    if (out.isEmpty())
        GTEST_SKIP() << "helper for a restart test";
    juce::File (out).replaceWithText (getDeviceId() + "\n" + getStorageRoot().getFullPathName());
}

TEST_F (HostIdentity, DeviceIdAndRootSurviveARestart)
{
    auto chosen = tmp / "Live/Quorvelle";
    ASSERT_TRUE (persistStorageRoot (chosen));
    const auto id = getDeviceId();

    auto runChild = [&]() -> juce::StringArray {
        auto out = tmp / "child.txt";
        out.deleteFile();
        setenv ("QUORVELLE_CHILD_OUT", out.getFullPathName().toRawUTF8(), 1);
        juce::ChildProcess child;
        const auto exe = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFullPathName();
        EXPECT_TRUE (child.start (juce::StringArray { exe, "--gtest_filter=HostIdentityChild.PrintDeviceId" }));
        EXPECT_TRUE (child.waitForProcessToFinish (30000));
        unsetenv ("QUORVELLE_CHILD_OUT");
        return juce::StringArray::fromLines (out.loadFileAsString());
    };

    auto lines = runChild();
    ASSERT_EQ (lines.size(), 2);
    EXPECT_EQ (lines[0], id);
    EXPECT_EQ (lines[1], chosen.getFullPathName());

    // Deleting the file gives a new id at the next start.
    getDeviceIdFile().deleteFile();
    lines = runChild();
    ASSERT_EQ (lines.size(), 2);
    EXPECT_EQ (lines[0].length(), 36);
    EXPECT_NE (lines[0], id);
}

TEST_F (HostIdentity, FirstResolutionRaceGivesOneAnswer)
{
    writeConfig ((tmp / "Race/Quorvelle").getFullPathName());

    constexpr int threads = 8;
    std::vector<juce::String> ids (threads), roots (threads);
    std::atomic<int> ready { 0 };
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back ([&, t] {
            ++ready;
            while (ready.load() < threads) {}
            ids[(size_t) t] = getDeviceId();
            roots[(size_t) t] = getStorageRoot().getFullPathName();
        });
    for (auto& th : pool)
        th.join();

    for (int t = 1; t < threads; ++t)
    {
        EXPECT_EQ (ids[(size_t) t], ids[0]);
        EXPECT_EQ (roots[(size_t) t], roots[0]);
    }
    EXPECT_EQ (getDeviceIdFile().loadFileAsString(), ids[0]);
    EXPECT_EQ (roots[0], (tmp / "Race/Quorvelle").getFullPathName());
}

// Start-up files put in place by hand or by another program: none may block the start, none may be
// read without bound, and what is not a usable text counts as no file.
TEST_F (HostIdentity, HostileStartupFilesCountAsNone)
{
    const auto makeFifo = [] (const juce::File& f) { return ::mkfifo (f.getFullPathName().toRawUTF8(), 0600) == 0; };
    const auto linkTo = [] (const char* target) {
        return [target] (const juce::File& f) { return ::symlink (target, f.getFullPathName().toRawUTF8()) == 0; };
    };
    const auto holding = [] (std::string bytes) {
        return [bytes] (const juce::File& f) { return f.replaceWithData (bytes.data(), bytes.size()); };
    };
    const auto configured = (tmp / "elsewhere/Quorvelle").getFullPathName().toStdString();
    std::string randomBytes (2048, '\0');
    juce::Random (7).fillBitsRandomly (randomBytes.data(), randomBytes.size());

    const struct
    {
        const char* name;
        std::function<bool (const juce::File&)> make;
    } rows[] = {
        { "a FIFO", makeFifo },
        { "a link to /dev/zero", linkTo ("/dev/zero") },
        { "a link to /dev/urandom", linkTo ("/dev/urandom") },
        { "2 KB of random bytes", holding (randomBytes) },
        { "a valid path padded to 20 MB", holding (configured + std::string (20 * 1024 * 1024, ' ')) },
        { "a valid path in Latin-1", holding ((tmp / "caf").getFullPathName().toStdString() + "\xe9/Quorvelle") },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        getApplicationDataFolder().deleteRecursively();
        getApplicationDataFolder().createDirectory();
        resetHostIdentityCachesForTesting();
        ASSERT_TRUE (row.make (getStorageRootConfigFile()));
        ASSERT_TRUE (row.make (getDeviceIdFile()));

        EXPECT_FALSE (hasStorageRootConfig());
        EXPECT_EQ (getStorageRoot(), getDefaultStorageRoot()) << "as when no root is configured";
        EXPECT_TRUE (storageLogLines().isEmpty());

        const auto id = getDeviceId();
        EXPECT_EQ (id.length(), 36);
        EXPECT_TRUE (id.containsOnly ("0123456789abcdef-"));
        EXPECT_EQ (getDeviceIdFile().loadFileAsString(), id) << "the file is replaced by a regular one";
        EXPECT_FALSE ((tmp / juce::String::fromUTF8 ("caf\xc3\xa9")).exists());
    }
}

// A Music folder where nothing can be made counts as missing: the root goes below ~/Music.
TEST_F (HostIdentity, UnusableMusicFolderFallsBackToTheHomeMusicFolder)
{
    const auto dirs = juce::File ("~/.config/user-dirs.dirs");
    dirs.getParentDirectory().createDirectory();
    ASSERT_TRUE (dirs.replaceWithText ("XDG_MUSIC_DIR=\"/proc\"\n"));
    const auto root = getDefaultStorageRoot();
    dirs.deleteFile();
    EXPECT_EQ (root.getFullPathName(), juce::File ("~").getFullPathName() + "/Music/Quorvelle");
}
