// The file rows of the whole program, driven through `--bridge-stdio`: a scripted zenity and
// xdg-open go first in the program's PATH, `df` checks the disk report, and a file-size limit
// inherited by the program makes its writes fail.
#include "EndedProgram.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 15000;
constexpr int answerMs = 30000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

juce::var answerFor (ProgramProcess& program, const juce::String& action, const juce::String& id)
{
    const auto index = program.waitForEvent ([&] (const juce::var& v) { return actionOf (v) == action && v.getProperty ("id", {}).toString() == id; }, answerMs);
    return index.has_value() ? program.events()[*index] : juce::var();
}

juce::String base64 (const juce::String& text) { return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8()); }

juce::String runTool (const juce::StringArray& command)
{
    juce::ChildProcess process;
    if (! process.start (command, juce::ChildProcess::wantStdOut))
        return {};
    auto output = process.readAllProcessOutput();
    process.waitForProcessToFinish (20000);
    return output;
}

// A folder of scripted tools put first in PATH while it lives. zenity writes its arguments (one
// per line) to zenity-args.txt, prints answer.txt and exits with status.txt; xdg-open writes its
// arguments to open-args.txt.
class FakeTools
{
public:
    FakeTools() : savedPath (juce::SystemStats::getEnvironmentVariable ("PATH", {}))
    {
        bin = temp / "bin";
        bin.createDirectory();
        writeScript ("zenity", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + file ("zenity-args.txt") + "'\ncat '" + file ("answer.txt")
                                   + "'\nexit $(cat '" + file ("status.txt") + "')\n");
        writeScript ("xdg-open", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + file ("open-args.txt") + "'\n");
        answer ("", 0);
        ::setenv ("PATH", (bin.getFullPathName() + ":" + savedPath).toRawUTF8(), 1);
    }
    ~FakeTools() { ::setenv ("PATH", savedPath.toRawUTF8(), 1); }

    void answer (const juce::String& output, int status)
    {
        (temp / "answer.txt").replaceWithText (output, false, false, "\n");
        (temp / "status.txt").replaceWithText (juce::String (status), false, false, "\n");
    }
    juce::String read (const char* name) const { return (temp / name).loadFileAsString(); }

private:
    juce::String file (const char* name) const { return (temp / name).getFullPathName(); }
    void writeScript (const char* name, const juce::String& body)
    {
        const auto script = bin.getChildFile (name);
        script.replaceWithText ("#!/bin/sh\n" + body, false, false, "\n");
        script.setExecutePermission (true);
    }

    TempFolder temp;
    juce::File bin;
    juce::String savedPath;
};

TEST (StdioFileActions, SavesReportsPicksAndReveals)
{
    FakeTools tools;
    TempFolder music;
    for (const char* name : { "a.WAV", "b.mp3", "notes.txt", "sub/c.flac" })
        music.folder().getChildFile (name).create();

    EndedProgram program;
    ASSERT_TRUE (program.started());
    const auto ready = program.waitForAction ("BACKEND_READY", startupMs);
    ASSERT_TRUE (ready.has_value()) << program.stderrText();
    const juce::File root (program.events()[*ready].getProperty ("storageRoot", {}).toString());

    program.send (makeObject ({ { "action", "SAVE_FILE" }, { "id", "f1" }, { "filename", "a.json" }, { "subfolder", "Songs/x" }, { "data", base64 ("{}") } }));
    const auto saved = answerFor (program, "FILE_SAVED", "f1");
    ASSERT_TRUE (saved.isObject());
    EXPECT_TRUE (static_cast<bool> (saved.getProperty ("ok", {})));
    EXPECT_EQ (root.getChildFile ("Songs/x/a.json").loadFileAsString(), "{}");

    // The volume's size as df reports it.
    program.send (makeObject ({ { "action", "GET_DISK_FREE" }, { "id", "d" } }));
    const auto disk = answerFor (program, "DISK_FREE_INFO", "d");
    const auto path = disk.getProperty ("path", {}).toString();
    const auto df = juce::StringArray::fromLines (runTool ({ "df", "-B1", "--output=size", path }).trim());
    ASSERT_EQ (df.size(), 2) << df.joinIntoString ("\n");
    EXPECT_EQ (static_cast<juce::int64> (disk.getProperty ("bytesTotal", {})), df[1].trim().getLargeIntValue());
    EXPECT_FALSE (disk.hasProperty ("bugReportCount"));

    // Folder mode: the audio files below the picked folder, in name order.
    tools.answer (music.folder().getFullPathName() + "\n", 0);
    program.send (makeObject ({ { "action", "OPEN_AUDIO_FILE_PICKER" }, { "id", "p1" }, { "mode", "folder" } }));
    auto picked = answerFor (program, "AUDIO_FILE_PICKER_RESULT", "p1");
    ASSERT_TRUE (picked.isObject());
    EXPECT_EQ (juce::JSON::toString (picked.getProperty ("paths", {}), true),
               juce::JSON::toString (juce::Array<juce::var> { music.folder().getChildFile ("a.WAV").getFullPathName(), music.folder().getChildFile ("b.mp3").getFullPathName(),
                                                              music.folder().getChildFile ("sub/c.flac").getFullPathName() },
                                     true));
    EXPECT_EQ (picked.getProperty ("pathsB64", {}).getArray()->size(), 3);
    EXPECT_FALSE (static_cast<bool> (picked.getProperty ("cancelled", {})));
    EXPECT_TRUE (tools.read ("zenity-args.txt").contains ("--directory\n--title=Seleccionar archivos\n"));

    // "Folder" is file mode: the picked files come back as they are.
    tools.answer ("/x/one.wav\n/x/two.wav\n", 0);
    program.send (makeObject ({ { "action", "OPEN_AUDIO_FILE_PICKER" }, { "id", "p2" }, { "mode", "Folder" }, { "title", "" } }));
    picked = answerFor (program, "AUDIO_FILE_PICKER_RESULT", "p2");
    EXPECT_EQ (juce::JSON::toString (picked.getProperty ("paths", {}), true), "[\"/x/one.wav\", \"/x/two.wav\"]");
    EXPECT_FALSE (tools.read ("zenity-args.txt").contains ("--directory"));
    EXPECT_FALSE (tools.read ("zenity-args.txt").contains ("--title"));

    tools.answer ("/x/ignored.wav\n", 1);
    program.send (makeObject ({ { "action", "OPEN_AUDIO_FILE_PICKER" }, { "id", "p3" } }));
    picked = answerFor (program, "AUDIO_FILE_PICKER_RESULT", "p3");
    EXPECT_TRUE (static_cast<bool> (picked.getProperty ("cancelled", {})));
    EXPECT_TRUE (program.waitForStderr ("OPEN_AUDIO_FILE_PICKER (win32 files): 0 path(s) shown=Y", answerMs));

    program.send (makeObject ({ { "action", "CHOOSE_STORAGE_DIRECTORY" }, { "id", "c1" } }));
    const auto chosen = answerFor (program, "STORAGE_DIRECTORY_CHOSEN", "c1");
    EXPECT_TRUE (static_cast<bool> (chosen.getProperty ("cancelled", {})));
    EXPECT_EQ (chosen.getProperty ("path", {}).toString(), "");
    EXPECT_TRUE (tools.read ("zenity-args.txt").contains (juce::String::fromUTF8 ("--title=Elegir la carpeta para tu m\xc3\xbasica de Quorvelle\n")));

    // A folder named like a shell command reaches xdg-open as one argument and runs nothing.
    const auto odd = root.getChildFile ("$(touch pwned)");
    ASSERT_TRUE (odd.createDirectory());
    program.send (makeObject ({ { "action", "REVEAL_FOLDER" }, { "subfolder", "$(touch pwned)" } }));
    program.send (makeObject ({ { "action", "TEST_CONNECTION" } }));
    ASSERT_TRUE (program.waitForEvent ([] (const juce::var& v) { return v.getProperty ("status", {}).toString() == "CONNECTED"; }, answerMs).has_value());
    for (int i = 0; i < 200 && tools.read ("open-args.txt").isEmpty(); ++i)
        juce::Thread::sleep (20);
    EXPECT_EQ (tools.read ("open-args.txt"), odd.getFullPathName() + "\n");
    EXPECT_FALSE (juce::File::getCurrentWorkingDirectory().getChildFile ("pwned").exists());
    EXPECT_FALSE (root.getChildFile ("pwned").exists());
}

// The program inherits a file-size limit (and ignores the signal that a write past it raises).
class FileSizeLimit
{
public:
    explicit FileSizeLimit (rlim_t bytes)
    {
        ::getrlimit (RLIMIT_FSIZE, &saved);
        previousHandler = std::signal (SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        ::setrlimit (RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit (RLIMIT_FSIZE, &saved);
        std::signal (SIGXFSZ, previousHandler);
    }

private:
    rlimit saved {};
    void (*previousHandler) (int) = nullptr;
};

TEST (StdioFileActions, AFullDiskKeepsTheEarlierFile)
{
    const auto root = juce::File::getSpecialLocation (juce::File::userMusicDirectory).getChildFile ("Quorvelle");
    ASSERT_TRUE (root.createDirectory());
    const auto target = root.getChildFile ("song.json");
    ASSERT_TRUE (target.replaceWithText ("the earlier content"));

    std::unique_ptr<EndedProgram> program;
    {
        FileSizeLimit limit (4 << 20);
        program = std::make_unique<EndedProgram>();
    }
    ASSERT_TRUE (program->started());
    ASSERT_TRUE (program->waitForAction ("BACKEND_READY", startupMs).has_value()) << program->stderrText();

    program->send (makeObject ({ { "action", "SAVE_FILE" }, { "id", "big" }, { "filename", "song.json" }, { "data", base64 (juce::String::repeatedString ("0123456789", 600000)) } }));
    const auto answer = answerFor (*program, "FILE_SAVED", "big");
    EXPECT_EQ (answer.getProperty ("error", {}).toString(), "write_failed");
    EXPECT_EQ (target.loadFileAsString(), "the earlier content");
    // The engine keeps its settings file in the root beside what the test wrote.
    EXPECT_EQ (root.getNumberOfChildFiles (juce::File::findFiles, "*") - (root.getChildFile ("audio-settings.xml").existsAsFile() ? 1 : 0), 1)
        << "no temporary file is left";
}
} // namespace
} // namespace quorvelle::test

namespace quorvelle::test
{
TEST (StdioFileActions, StretchCacheRowsCollectClearAndKeepAPathAsSongIdInside)
{
    EndedProgram program;
    const auto ready = program.waitForAction ("BACKEND_READY", startupMs);
    ASSERT_TRUE (ready.has_value()) << program.stderrText();
    const juce::File root (program.events()[*ready].getProperty ("storageRoot", {}).toString());
    for (const char* name : { "Songs/keep/stretched/a_v4.wav", "Songs/gone/stretched/b_v4.wav", "Songs/other/stretched/c_v4.wav",
                              "outside/stretched/d_v4.wav" })
    {
        root.getChildFile (name).getParentDirectory().createDirectory();
        ASSERT_TRUE (root.getChildFile (name).replaceWithText ("x"));
    }

    program.send (std::string (R"({"action":"GC_STRETCH_CACHE","keepSongIds":["keep","other"]})"));
    EXPECT_TRUE (program.waitForStderr ("[STRETCH-GC] boot GC | hu\xc3\xa9rfanos=1 | evictados por tope=0", answerMs)) << program.stderrText();
    EXPECT_FALSE (root.getChildFile ("Songs/gone/stretched").exists());
    EXPECT_TRUE (root.getChildFile ("Songs/keep/stretched/a_v4.wav").existsAsFile());

    // An id that would walk out of the song folders is cleaned into one folder name: nothing outside goes.
    program.send (std::string (R"({"action":"CLEAR_SONG_STRETCH_CACHE","songId":"../outside"})"));
    EXPECT_TRUE (program.waitForStderr ("n borrado | song=../outsi", answerMs));
    EXPECT_TRUE (root.getChildFile ("outside/stretched/d_v4.wav").existsAsFile());

    program.send (std::string (R"({"action":"CLEAR_SONG_STRETCH_CACHE","songId":"keep"})"));
    EXPECT_TRUE (program.waitForStderr ("n borrado | song=keep", answerMs));
    EXPECT_FALSE (root.getChildFile ("Songs/keep/stretched").exists());

    program.send (std::string (R"({"action":"CLEAR_STRETCH_CACHE"})"));
    EXPECT_TRUE (program.waitForStderr ("[STRETCH-CLEAR] borradas 1 carpeta(s) stretched/ en disco", answerMs));
    EXPECT_FALSE (root.getChildFile ("Songs/other/stretched").exists());
}
} // namespace quorvelle::test
