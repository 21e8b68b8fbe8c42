// One running copy per application-data folder, with the later launch's command line handed over.
#include "platform/SingleInstance.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ (second.acquireOrHandOver ("b", 300), SingleInstance::Outcome::failed);
}
} // namespace
} // namespace quorvelle::test
