#include "platform/CrashDumps.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvelle::platform
{
namespace
{
struct Crash
{
    int pid = -1;
    int signal = 0; // 0 when the target exited normally
    juce::String output;
};

// Runs the crash target and waits for it to die.
Crash runCrashTarget (const char* mode, const juce::File& crashFolder)
{
    const auto target = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getSiblingFile ("platform_crash_target");
    int out[2];
    if (::pipe (out) != 0)
        return {};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_adddup2 (&actions, out[1], 1);
    posix_spawn_file_actions_addclose (&actions, out[0]);
    const auto path = target.getFullPathName().toStdString();
    const auto folder = crashFolder.getFullPathName().toStdString();
    char* argv[] = { const_cast<char*> (path.c_str()), const_cast<char*> (mode), const_cast<char*> (folder.c_str()), nullptr };
    Crash crash;
    pid_t pid = -1;
    const bool started = posix_spawn (&pid, path.c_str(), &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy (&actions);
    ::close (out[1]);
    if (! started)
    {
        ::close (out[0]);
        return crash;
    }
    crash.pid = pid;

    char buffer[256];
    std::string text;
    for (ssize_t n; (n = ::read (out[0], buffer, sizeof (buffer))) > 0;)
        text.append (buffer, (size_t) n);
    ::close (out[0]);
    crash.output = text;

    int status = 0;
    while (::waitpid (pid, &status, 0) < 0 && errno == EINTR) {}
    crash.signal = WIFSIGNALED (status) ? WTERMSIG (status) : 0;
    return crash;
}

bool isDumpNameOf (const juce::String& name, int pid)
{
    // crash-YYYYMMDD-HHMMSS-<pid>.dmp
    const auto expectedTail = "-" + juce::String (pid) + ".dmp";
    if (! name.startsWith ("crash-") || ! name.endsWith (expectedTail))
        return false;
    const auto stamp = name.substring (6, name.length() - expectedTail.length());
    return stamp.length() == 15 && stamp[8] == '-' && stamp.removeCharacters ("-").containsOnly ("0123456789");
}

juce::Array<juce::File> allDumpsBelow (const juce::File& folder)
{
    return folder.findChildFiles (juce::File::findFiles, true, "*.dmp");
}
} // namespace

TEST (CrashDumps, EachCrashLeavesOneDumpAndDiesOfItsSignal)
{
    const struct
    {
        const char* mode;
        int signal;
        const char* mustContain;
    } cases[] = {
        { "segv", SIGSEGV, "fault address: 0x10\n" },
        { "terminate", SIGABRT, "reason: std::terminate\n" },
        { "threads", SIGSEGV, "fault address: 0x10\n" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.mode);
        test::TempFolder temp;
        const auto crashes = temp / "root/crashes";
        const auto crash = runCrashTarget (c.mode, crashes);
        ASSERT_GT (crash.pid, 0);
        EXPECT_EQ (crash.output, "ready 1\n");
        EXPECT_EQ (crash.signal, c.signal);

        const auto dumps = allDumpsBelow (temp.folder());
        ASSERT_EQ (dumps.size(), 1);
        EXPECT_EQ (dumps[0].getParentDirectory(), crashes);
        EXPECT_TRUE (isDumpNameOf (dumps[0].getFileName(), crash.pid)) << dumps[0].getFileName();
        EXPECT_EQ (listCrashDumps (crashes), dumps);

        const auto text = dumps[0].loadFileAsString();
        EXPECT_TRUE (text.contains (c.mustContain)) << text.substring (0, 400);
        EXPECT_TRUE (text.contains (juce::String ("(") + (c.signal == SIGSEGV ? "SIGSEGV" : "SIGABRT") + ")"));
        // One writer only: a single header, and the maps copy runs whole to the end of the file.
        EXPECT_EQ (text.indexOf ("Quorvelle crash dump"), text.lastIndexOf ("Quorvelle crash dump"));
        const auto maps = juce::StringArray::fromLines (text.fromFirstOccurrenceOf ("\nmaps:\n", false, false).trimEnd());
        ASSERT_GT (maps.size(), 5);
        for (const auto& line : maps)
            EXPECT_TRUE (line.upToFirstOccurrenceOf (" ", false, false).containsOnly ("0123456789abcdef-")) << line;
        EXPECT_TRUE (text.endsWith ("\n"));
        EXPECT_TRUE (text.contains ("\nbacktrace:\n"));
    }
}

TEST (CrashDumps, FolderWhoseDumpPathsDoNotFitMeansNoDumps)
{
    test::TempFolder temp;
    // A folder that exists and is near PATH_MAX: its dump names would not fit, so a cut path
    // could only name some other folder.
    auto deep = temp.folder();
    while (deep.getFullPathName().length() < 4000)
        deep = deep.getChildFile (juce::String::repeatedString ("d", 200));
    const auto crashes = deep.getChildFile ("crashes");
    ASSERT_TRUE (crashes.createDirectory());
    ASSERT_TRUE (crashes.isDirectory());

    const auto crash = runCrashTarget ("segv", crashes);
    ASSERT_GT (crash.pid, 0);
    EXPECT_EQ (crash.output, "ready 0\n");
    EXPECT_EQ (crash.signal, SIGSEGV);
    EXPECT_TRUE (allDumpsBelow (temp.folder()).isEmpty());
}

TEST (CrashDumps, ListingAndTheDiscardNameRule)
{
    test::TempFolder temp;
    const auto crashes = temp / "crashes";
    EXPECT_TRUE (listCrashDumps (crashes).isEmpty());

    ASSERT_TRUE (crashes.createDirectory());
    for (const char* name : { "a.dmp", "B.DMP", "c.txt" })
        ASSERT_TRUE (crashes.getChildFile (name).replaceWithText ("x"));
    ASSERT_TRUE (crashes.getChildFile ("folder.dmp").createDirectory());
    ASSERT_TRUE (crashes.getChildFile ("sub").getChildFile ("d.dmp").create());

    juce::StringArray names;
    for (const auto& file : listCrashDumps (crashes))
        names.add (file.getFileName());
    names.sort (true);
    EXPECT_EQ (names.joinIntoString (","), "a.dmp,B.DMP");

    const struct
    {
        const char* name;
        bool accepted;
    } rules[] = { { "x.dmp", true }, { "x.DMP", true }, { "", false }, { "a/b.dmp", false },
                  { "..\\x.dmp", false }, { "x.txt", false }, { "x.dmp.txt", false }, { "../x.dmp", false } };
    for (const auto& r : rules)
    {
        SCOPED_TRACE (r.name);
        EXPECT_EQ (isDiscardableCrashDumpName (r.name), r.accepted);
    }
}
} // namespace quorvelle::platform
