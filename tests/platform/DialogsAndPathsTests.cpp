// The path join under the storage root, the folder scan and the desktop dialogs (a scripted
// zenity placed first in PATH records its arguments and answers as each case asks).
#include "platform/Dialogs.h"
#include "platform/PathJoin.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
TEST (PathJoin, RelativeTextsStayAtOrBelowTheRoot)
{
    TempFolder temp;
    const auto root = temp / "root";
    ASSERT_TRUE (root.createDirectory());

    const struct { const char* relative; bool create; const char* expected; } cases[] = {
        { "Songs/abc", true, "Songs/abc" },
        { "a\\b//c", false, "a/b/c" },
        { "../x", true, "x" },
        { "a/../../b", true, "a/b" },
        { "./..\\..", true, "" },
        { "a:b", false, "ab" },
        { "", true, "" },
        { "Songs//abc\\stems", true, "Songs/abc/stems" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.relative);
        const auto expected = juce::String (c.expected).isEmpty() ? root : root.getChildFile (c.expected);
        const auto result = platform::resolveRelativeUnder (root, c.relative, c.create);
        EXPECT_EQ (result.getFullPathName(), expected.getFullPathName());
        EXPECT_TRUE (result == root || result.isAChildOf (root));
        EXPECT_EQ (result.isDirectory(), c.create || result == root);
    }
    EXPECT_FALSE (temp.folder().getChildFile ("x").exists()) << "nothing is created above the root";
    EXPECT_FALSE (temp.folder().getChildFile ("b").exists());
}

TEST (PathJoin, PlainFileNames)
{
    for (const char* good : { "a.json", "...", "Intro Mix B.wav", "$(touch x)" })
        EXPECT_TRUE (platform::isPlainFileName (good)) << good;
    for (const char* bad : { "", ".", "..", "a/b", "..\\x", "/abs" })
        EXPECT_FALSE (platform::isPlainFileName (bad)) << bad;
}

TEST (FolderScan, ExtensionsFromFilters)
{
    EXPECT_EQ (platform::parseExtensionFilter ("*.WAV;*.tar.gz;;noext;*.Mp3"), juce::StringArray ({ ".wav", ".tar.gz", ".mp3" }));
    EXPECT_TRUE (platform::parseExtensionFilter ("wav;mp3").isEmpty());
}

// a.WAV, b.mp3, notes.txt and sub/c.flac, with links that lead back up (a loop) and to a folder
// seen already.
struct ScanFolder
{
    ScanFolder()
    {
        root = temp / "pick";
        root.getChildFile ("sub").createDirectory();
        for (const char* name : { "a.WAV", "b.mp3", "notes.txt", "sub/c.flac" })
            root.getChildFile (name).replaceWithText ("x");
        EXPECT_EQ (::symlink ("..", root.getChildFile ("sub/loop").getFullPathName().toRawUTF8()), 0);
        EXPECT_EQ (::symlink (root.getChildFile ("sub").getFullPathName().toRawUTF8(), root.getChildFile ("zlink").getFullPathName().toRawUTF8()), 0);
    }
    juce::File operator/ (const char* relative) const { return root.getChildFile (relative); }

    TempFolder temp;
    juce::File root;
};

TEST (FolderScan, FindsAudioFilesOnceEvenThroughLinkLoops)
{
    ScanFolder folder;
    juce::StringArray found;
    platform::collectFilesWithExtensions (folder.root, platform::parseExtensionFilter ("*.wav;*.flac;*.mp3"), found);
    EXPECT_EQ (found, juce::StringArray (juce::StringArray { (folder / "a.WAV").getFullPathName(), (folder / "b.mp3").getFullPathName(),
                                           (folder / "sub/c.flac").getFullPathName() }));

    found.clear();
    platform::collectFilesWithExtensions (folder.root, {}, found);
    EXPECT_TRUE (found.isEmpty());
}

// Puts a scripted zenity (or nothing) first in PATH for the life of the object.
class DialogTool
{
public:
    DialogTool() : savedPath (juce::SystemStats::getEnvironmentVariable ("PATH", {}))
    {
        bin = temp / "bin";
        bin.createDirectory();
        ::setenv ("PATH", bin.getFullPathName().toRawUTF8(), 1);
    }
    ~DialogTool() { ::setenv ("PATH", savedPath.toRawUTF8(), 1); }

    // The fake prints `output` and exits with `status`, after writing its arguments, one per
    // line, to args.txt.
    void script (const juce::String& output, int status)
    {
        const auto tool = bin.getChildFile ("zenity");
        tool.replaceWithText ("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + argsFile().getFullPathName() + "'\nprintf '%s' '"
                              + output + "'\nexit " + juce::String (status) + "\n",
                              false, false, "\n");
        tool.setExecutePermission (true);
    }
    juce::File argsFile() const { return temp / "args.txt"; }
    juce::String arguments() const { return argsFile().loadFileAsString(); }

private:
    TempFolder temp;
    juce::File bin;
    juce::String savedPath;
};

TEST (Dialogs, FolderModeAnswersTheAudioFilesBelowThePickedFolder)
{
    ScanFolder folder;
    DialogTool tool;
    tool.script (folder.root.getFullPathName() + "\n", 0);

    const auto pick = platform::pickWithFileDialog ("Pick", "*.wav;*.flac;*.mp3", true, true);
    EXPECT_TRUE (pick.shown);
    EXPECT_EQ (pick.paths, juce::StringArray (juce::StringArray { (folder / "a.WAV").getFullPathName(), (folder / "b.mp3").getFullPathName(),
                                                (folder / "sub/c.flac").getFullPathName() }));
    EXPECT_EQ (tool.arguments(), "--file-selection\n--directory\n--title=Pick\n");

    // A filter without any "." finds nothing in the picked folder.
    const auto none = platform::pickWithFileDialog ("Pick", "wav", true, true);
    EXPECT_TRUE (none.shown);
    EXPECT_TRUE (none.paths.isEmpty());
}

TEST (Dialogs, FileModePassesEachOptionAsOneArgument)
{
    DialogTool tool;
    tool.script ("/music/one.wav\n/music/two words.mp3\n", 0);

    const auto pick = platform::pickWithFileDialog ("", "*.wav;*.mp3", false, true);
    EXPECT_TRUE (pick.shown);
    EXPECT_EQ (pick.paths, juce::StringArray ({ "/music/one.wav", "/music/two words.mp3" }));
    // No title argument for an empty title; the newline separator is one argument, the filter another.
    EXPECT_EQ (tool.arguments(), "--file-selection\n--multiple\n--separator=\n\n--file-filter=Audio | *.wav *.WAV *.mp3 *.MP3\n");

    const auto single = platform::pickWithFileDialog ("T", "*.wav", false, false);
    EXPECT_EQ (single.paths, juce::StringArray ({ "/music/one.wav" }));
    EXPECT_EQ (tool.arguments(), "--file-selection\n--file-filter=Audio | *.wav *.WAV\n--title=T\n");
}

TEST (Dialogs, CancelAndMissingTool)
{
    DialogTool tool;
    tool.script ("/ignored\n", 1);
    auto cancelled = platform::pickWithFileDialog ("T", "*.wav", false, true);
    EXPECT_TRUE (cancelled.shown);
    EXPECT_TRUE (cancelled.paths.isEmpty()) << "exit 1 is a cancel, whatever was printed";
    auto folder = platform::pickFolderWithDialog ("T");
    EXPECT_TRUE (folder.shown);
    EXPECT_TRUE (folder.paths.isEmpty());

    tool.script ("/chosen/folder\n", 0);
    folder = platform::pickFolderWithDialog ("T");
    EXPECT_EQ (folder.paths, juce::StringArray ({ "/chosen/folder" }));

    DialogTool empty; // PATH now names a folder without any dialog tool
    cancelled = platform::pickWithFileDialog ("T", "*.wav", false, true);
    EXPECT_FALSE (cancelled.shown);
    EXPECT_TRUE (cancelled.paths.isEmpty());
    EXPECT_FALSE (platform::pickFolderWithDialog ("T").shown);
}
} // namespace
} // namespace quorvelle::test
