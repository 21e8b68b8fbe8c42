// The program's start with hostile files in its application-data folder: it always reports
// BACKEND_READY, or, where the single-instance lock cannot be made, exits 1 saying what failed.
#include "tests/app/ProgramProcess.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;

// Points HOME at a fresh folder for the program started in its scope.
class FreshHome
{
public:
    FreshHome() : saved (std::getenv ("HOME") != nullptr ? std::getenv ("HOME") : "")
    {
        ::setenv ("HOME", home.folder().getFullPathName().toRawUTF8(), 1);
        appData().createDirectory();
    }
    ~FreshHome() { ::setenv ("HOME", saved.c_str(), 1); }
    juce::File appData() const { return home / ".config/Quorvelle"; }

private:
    TempFolder home;
    std::string saved;
};

TEST (StartupFiles, EachHostileFileStillReachesBackendReady)
{
    const auto fifo = [] (const juce::File& f) { return ::mkfifo (f.getFullPathName().toRawUTF8(), 0600) == 0; };
    const auto link = [] (const char* target) {
        return [target] (const juce::File& f) { return ::symlink (target, f.getFullPathName().toRawUTF8()) == 0; };
    };
    const struct
    {
        const char* name;
        std::function<bool (const juce::File&)> make;
    } rows[] = {
        { "FIFOs", fifo },
        { "links to /dev/zero", link ("/dev/zero") },
        { "links to /dev/urandom", link ("/dev/urandom") },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        FreshHome home;
        ASSERT_TRUE (row.make (home.appData().getChildFile ("storage-root")));
        ASSERT_TRUE (row.make (home.appData().getChildFile ("device-id")));

        ProgramProcess program;
        const auto index = program.waitForAction ("BACKEND_READY", startupMs);
        ASSERT_TRUE (index.has_value()) << program.stderrText();
        const auto ready = program.events()[*index];
        EXPECT_EQ (ready.getProperty ("deviceId", {}).toString().length(), 36);
        EXPECT_TRUE (static_cast<bool> (ready.getProperty ("storageRootNeedsChoice", false))) << "as with no saved root";
        program.closeStdin();
        EXPECT_EQ (program.waitForExit (startupMs), 0);
    }
}

TEST (StartupFiles, AnUnusableLockExitsWithWhatFailed)
{
    FreshHome home;
    ASSERT_TRUE (home.appData().getChildFile ("instance.lock").createDirectory().wasOk());
    ProgramProcess program;
    EXPECT_EQ (program.waitForExit (startupMs), 1);
    EXPECT_NE (program.stderrText().find ("instance.lock: Is a directory"), std::string::npos) << program.stderrText();
    EXPECT_EQ (program.stderrText().find ("does not answer"), std::string::npos);
}
} // namespace
} // namespace quorvelle::test
