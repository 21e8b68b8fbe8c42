#include "platform/CheckedWrite.h"
#include "platform/Opener.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quorvelle::platform
{
namespace
{
    juce::StringArray leftovers (const juce::File& folder, const juce::String& keep)
    {
        juce::StringArray names;
        for (const auto& entry : folder.findChildFiles (juce::File::findFilesAndDirectories | juce::File::ignoreHiddenFiles, false, "*"))
            if (entry.getFileName() != keep)
                names.add (entry.getFileName());
        for (const auto& entry : folder.findChildFiles (juce::File::findFiles, false, ".*"))
            names.add (entry.getFileName());
        return names;
    }

    struct FailureAt
    {
        explicit FailureAt (juce::int64 offset) { setWriteFailureAtByteForTesting (offset); }
        ~FailureAt() { setWriteFailureAtByteForTesting (-1); }
    };
} // namespace

TEST (CheckedWrite, ReplacesOnlyWhenEveryByteWasWritten)
{
    const struct
    {
        juce::int64 failAt;
        bool expectReplaced;
    } cases[] = { { -1, true }, { 0, false }, { 5000, false }, { 9999, false }, { 10000, true } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "fail at " << c.failAt);
        test::TempFolder temp;
        const auto target = temp / "song.bin";
        ASSERT_TRUE (target.replaceWithText ("old content"));

        juce::MemoryBlock fresh (10000);
        fresh.fillWith (0x5a);
        juce::String error;
        FailureAt failure (c.failAt);
        const bool ok = replaceFileWithData (target, fresh.getData(), fresh.getSize(), &error);

        EXPECT_EQ (ok, c.expectReplaced);
        if (c.expectReplaced)
        {
            juce::MemoryBlock read;
            ASSERT_TRUE (target.loadFileAsData (read));
            EXPECT_EQ (read, fresh);
        }
        else
        {
            EXPECT_EQ (target.loadFileAsString(), "old content");
            EXPECT_TRUE (error.contains ("write failed")) << error;
        }
        EXPECT_TRUE (leftovers (temp.folder(), "song.bin").isEmpty()) << leftovers (temp.folder(), "song.bin").joinIntoString (",");
    }
}

TEST (CheckedWrite, StreamCommitsWithNamedTemporaryAndChecksTheLength)
{
    test::TempFolder temp;
    const auto target = temp / "library.json";
    ASSERT_TRUE (target.replaceWithText ("{}"));

    {
        CheckedReplacement replacement (target, "library.tmp");
        ASSERT_TRUE (replacement.isOpen());
        EXPECT_EQ (replacement.getTemporaryFile(), temp / "library.tmp");
        auto stream = replacement.createStream();
        stream->writeText ("[1,2,3]", false, false, nullptr);
        stream.reset();
        EXPECT_FALSE (replacement.commit (100)); // not the length asked for
    }
    EXPECT_EQ (target.loadFileAsString(), "{}");
    EXPECT_FALSE ((temp / "library.tmp").exists());

    {
        CheckedReplacement replacement (target, "library.tmp");
        replacement.createStream()->writeText ("[1,2,3]", false, false, nullptr);
        EXPECT_TRUE (replacement.commit (7));
    }
    EXPECT_EQ (target.loadFileAsString(), "[1,2,3]");

    // Dropped without a commit: nothing changes.
    {
        CheckedReplacement replacement (target);
        replacement.createStream()->writeText ("lost", false, false, nullptr);
    }
    EXPECT_EQ (target.loadFileAsString(), "[1,2,3]");
    EXPECT_TRUE (leftovers (temp.folder(), "library.json").isEmpty());
}

TEST (CheckedWrite, UncreatableTemporaryFailsWithTheTargetUntouched)
{
    test::TempFolder temp;
    const auto regular = temp / "plain";
    ASSERT_TRUE (regular.replaceWithText ("x"));
    juce::String error;
    EXPECT_FALSE (replaceFileWithText (regular.getChildFile ("below-a-file"), "data", &error));
    EXPECT_TRUE (error.startsWith ("cannot create")) << error;
    EXPECT_EQ (regular.loadFileAsString(), "x");
}

TEST (CheckedWrite, MoveReplacesAcrossFileSystemsAndKeepsTargetOnFailure)
{
    test::TempFolder temp;
    const auto target = temp / "moved.wav";
    ASSERT_TRUE (target.replaceWithText ("old"));

    // Same file system: a rename.
    const auto local = temp / "source.wav";
    ASSERT_TRUE (local.replaceWithText ("local"));
    EXPECT_TRUE (moveFileReplacing (local, target));
    EXPECT_EQ (target.loadFileAsString(), "local");
    EXPECT_FALSE (local.exists());

    // Missing source: the target stays.
    juce::String error;
    EXPECT_FALSE (moveFileReplacing (temp / "missing", target, &error));
    EXPECT_EQ (target.loadFileAsString(), "local");

    const juce::File shm ("/dev/shm");
    struct stat shmInfo {}, tempInfo {};
    if (::stat ("/dev/shm", &shmInfo) != 0 || ::stat (temp.folder().getFullPathName().toRawUTF8(), &tempInfo) != 0
        || shmInfo.st_dev == tempInfo.st_dev)
        GTEST_SKIP() << "/dev/shm is on the same device as the temporary folder: no cross-device move to test";

    const auto remote = shm.getChildFile ("quorvelle-move-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()));
    ASSERT_TRUE (remote.replaceWithText ("from another file system"));
    EXPECT_TRUE (moveFileReplacing (remote, target, &error)) << error;
    EXPECT_EQ (target.loadFileAsString(), "from another file system");
    EXPECT_FALSE (remote.exists());

    // A failing copy keeps both the target and the source.
    ASSERT_TRUE (remote.replaceWithText ("second"));
    {
        FailureAt failure (2);
        EXPECT_FALSE (moveFileReplacing (remote, target, &error));
    }
    EXPECT_EQ (target.loadFileAsString(), "from another file system");
    EXPECT_TRUE (remote.existsAsFile());
    remote.deleteFile();
    EXPECT_TRUE (leftovers (temp.folder(), "moved.wav").isEmpty());
}

TEST (Opener, HandsTheTargetAsOneArgumentWithoutAShell)
{
    test::TempFolder temp;
    const auto bin = temp / "bin";
    ASSERT_TRUE (bin.createDirectory());
    const auto record = temp / "args.txt";
    const auto script = bin.getChildFile ("xdg-open");
    ASSERT_TRUE (script.replaceWithText ("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + record.getFullPathName() + "'; done\n", false, false, "\n"));
    ASSERT_EQ (::chmod (script.getFullPathName().toRawUTF8(), 0755), 0);

    const auto oldPath = juce::SystemStats::getEnvironmentVariable ("PATH", {});
    ::setenv ("PATH", (bin.getFullPathName() + ":" + oldPath).toRawUTF8(), 1);
    const auto hostile = temp.folder().getChildFile ("$(touch pwned)");
    ASSERT_TRUE (hostile.createDirectory());

    EXPECT_TRUE (openWithDesktop (hostile.getFullPathName()));
    // The shell creates the file before it writes the line: wait for the whole line.
    for (int i = 0; i < 4000 && ! record.loadFileAsString().endsWithChar ('\n'); ++i)
        juce::Thread::sleep (5);

    ::setenv ("PATH", "/nonexistent", 1);
    EXPECT_FALSE (openWithDesktop ("https://example.invalid/"));
    ::setenv ("PATH", oldPath.toRawUTF8(), 1);

    EXPECT_EQ (record.loadFileAsString(), hostile.getFullPathName() + "\n");
    EXPECT_FALSE (juce::File::getCurrentWorkingDirectory().getChildFile ("pwned").exists());

    for (auto [url, allowed] : { std::pair { "https://a.b", true }, { "HTTP://a", true }, { "mailto:x@y", true },
                                 { "file:///etc/passwd", false }, { "javascript:alert(1)", false }, { "", false } })
        EXPECT_EQ (isOpenableUrl (url), allowed) << url;
}
} // namespace quorvelle::platform
