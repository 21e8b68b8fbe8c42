// One running copy per application-data folder, with the later launch's command line handed over.
#include "platform/SingleInstance.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
using platform::SingleInstance;

TEST (SingleInstance, SecondInstanceHandsItsCommandLineToTheFirst)
{
    TempFolder temp;
    const auto folder = temp / "Quorvelle";

    SingleInstance first (folder);
    juce::StringArray received;
    first.setCommandLineCallback ([&] (const juce::String& line) { received.add (line); });
    ASSERT_EQ (first.acquireOrHandOver ("first"), SingleInstance::Outcome::primary);
    EXPECT_TRUE (first.getSocketFile().isAChildOf (folder));

    const juce::String secondLine = juce::String::fromUTF8 ("--bridge-stdio \"/m\xc3\xbasica/a b\"");
    {
        SingleInstance second (folder);
        EXPECT_EQ (second.acquireOrHandOver (secondLine), SingleInstance::Outcome::handedOver);
    }
    {
        SingleInstance third (folder);
        EXPECT_EQ (third.acquireOrHandOver (""), SingleInstance::Outcome::handedOver);
    }

    ASSERT_TRUE (runMessageLoopUntil ([&] { return received.size() == 2; }, 20000));
    EXPECT_EQ (received[0], secondLine);
    EXPECT_EQ (received[1], "");
}

TEST (SingleInstance, TheLockPassesOnWhenTheFirstEnds)
{
    TempFolder temp;
    const auto folder = temp / "Quorvelle";
    {
        SingleInstance first (folder);
        ASSERT_EQ (first.acquireOrHandOver ("a"), SingleInstance::Outcome::primary);
    }
    // The socket goes with its owner.
    EXPECT_FALSE (SingleInstance::socketFileFor (folder).exists());
    SingleInstance next (folder);
    EXPECT_EQ (next.acquireOrHandOver ("b"), SingleInstance::Outcome::primary);
}

TEST (SingleInstance, LongFolderUsesAHashedSocketInAPrivateFolder)
{
    TempFolder temp;
    auto folder = temp.folder();
    while (folder.getFullPathName().length() < 120)
        folder = folder.getChildFile ("a-rather-long-folder-name");

    const auto socket = SingleInstance::socketFileFor (folder);
    EXPECT_FALSE (socket.isAChildOf (folder));
    EXPECT_LT (socket.getFullPathName().getNumBytesAsUTF8(), 108u);
    EXPECT_EQ (socket, SingleInstance::socketFileFor (folder));
    EXPECT_NE (socket, SingleInstance::socketFileFor (folder.getChildFile ("other")));

    SingleInstance first (folder);
    juce::String received;
    first.setCommandLineCallback ([&] (const juce::String& line) { received = line; });
    ASSERT_EQ (first.acquireOrHandOver ("one"), SingleInstance::Outcome::primary);
    SingleInstance second (folder);
    EXPECT_EQ (second.acquireOrHandOver ("two"), SingleInstance::Outcome::handedOver);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return received == "two"; }, 20000));
}

TEST (SingleInstance, SilentHolderOfTheLockMeansFailure)
{
    TempFolder temp;
    const auto folder = temp / "Quorvelle";
    SingleInstance first (folder);
    ASSERT_EQ (first.acquireOrHandOver ("a"), SingleInstance::Outcome::primary);
    // The socket disappears (deleted by hand): the lock is still held, and nobody answers.
    ASSERT_EQ (::unlink (first.getSocketFile().getFullPathName().toRawUTF8()), 0);

    // The hand-over gives up after its own 300 ms bound (a hang would meet the test's timeout).
    SingleInstance second (folder);
    EXPECT_EQ (second.acquireOrHandOver ("b", 300), SingleInstance::Outcome::busy);
}

// What stands where the lock, the socket or the folder should be: each failure names its path and
// the system's error; what a dead copy left behind is taken over.
TEST (SingleInstance, BrokenLockPlacesSayWhatFailed)
{
    const auto loop = [] (const juce::File& f) { return ::symlink (f.getFullPathName().toRawUTF8(), f.getFullPathName().toRawUTF8()) == 0; };
    const auto folderAt = [] (const juce::File& f) { return f.createDirectory().wasOk(); };
    const auto fileAt = [] (const juce::File& f) { return f.replaceWithText ("x"); };
    const auto staleSocket = [] (const juce::File& f) {
        const int fd = ::socket (AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy (address.sun_path, f.getFullPathName().toRawUTF8(), sizeof (address.sun_path) - 1);
        const bool bound = ::bind (fd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) == 0;
        ::close (fd); // its owner died: the socket file stays
        return bound;
    };

    const struct
    {
        const char* name;
        const char* place; // below the temporary folder
        std::function<bool (const juce::File&)> make;
        SingleInstance::Outcome outcome;
        const char* error; // part of the failure text
    } rows[] = {
        { "the lock is a folder", "Quorvelle/instance.lock", folderAt, SingleInstance::Outcome::failed, "Is a directory" },
        { "the lock is a link loop", "Quorvelle/instance.lock", loop, SingleInstance::Outcome::failed, "symbolic links" },
        { "the socket is a folder", "Quorvelle/instance.sock", folderAt, SingleInstance::Outcome::failed, "instance.sock" },
        { "the folder is a file", "Quorvelle", fileAt, SingleInstance::Outcome::failed, "Quorvelle" },
        { "its parent is a file", "parent", fileAt, SingleInstance::Outcome::failed, "parent" },
        { "a stale lock", "Quorvelle/instance.lock", fileAt, SingleInstance::Outcome::primary, "" },
        { "a stale socket", "Quorvelle/instance.sock", staleSocket, SingleInstance::Outcome::primary, "" },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        TempFolder temp;
        const auto place = temp / row.place;
        place.getParentDirectory().createDirectory();
        ASSERT_TRUE (row.make (place));

        SingleInstance instance (juce::String (row.place) == "parent" ? temp / "parent/Quorvelle" : temp / "Quorvelle");
        EXPECT_EQ (instance.acquireOrHandOver ("a", 300), row.outcome) << instance.getFailureText();
        EXPECT_TRUE (instance.getFailureText().contains (row.error)) << instance.getFailureText();
    }
}
} // namespace
} // namespace quorvelle::test
