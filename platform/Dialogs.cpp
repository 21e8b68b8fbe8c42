#include "platform/Dialogs.h"

#include "platform/Opener.h"

#include <algorithm>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace quorvelle::platform
{
namespace
{
    enum class Tool { none, zenity, kdialog };

    std::pair<Tool, juce::File> findDialogTool()
    {
        if (auto zenity = findExecutableInPath ("zenity"); zenity != juce::File())
            return { Tool::zenity, zenity };
        if (auto kdialog = findExecutableInPath ("kdialog"); kdialog != juce::File())
            return { Tool::kdialog, kdialog };
        return { Tool::none, {} };
    }

    // The glob patterns of a ";"-separated filter, each also in lower and upper case (the
    // dialogs match case-sensitively), separated by spaces.
    juce::String globList (const juce::String& filters)
    {
        juce::StringArray globs;
        for (const auto& piece : juce::StringArray::fromTokens (filters, ";", {}))
        {
            const auto pattern = piece.trim();
            if (pattern.isEmpty())
                continue;
            globs.addIfNotAlreadyThere (pattern);
            globs.addIfNotAlreadyThere (pattern.toLowerCase());
            globs.addIfNotAlreadyThere (pattern.toUpperCase());
        }
        return globs.joinIntoString (" ");
    }

    // Runs the tool and returns its stdout lines when it exits with 0.
    DialogPick runDialog (const juce::File& tool, juce::StringArray arguments)
    {
        DialogPick pick;
        arguments.insert (0, tool.getFullPathName());

        juce::ChildProcess process;
        if (! process.start (arguments, juce::ChildProcess::wantStdOut))
            return pick;
        pick.shown = true;

        juce::MemoryOutputStream output;
        char buffer[4096];
        for (;;)
        {
            const auto got = process.readProcessOutput (buffer, sizeof (buffer));
            if (got <= 0)
                break;
            output.write (buffer, static_cast<size_t> (got));
        }
        process.waitForProcessToFinish (-1);
        if (process.getExitCode() != 0)
            return pick;

        const auto text = juce::String::fromUTF8 (static_cast<const char*> (output.getData()), static_cast<int> (output.getDataSize()));
        for (const auto& line : juce::StringArray::fromLines (text))
            if (line.isNotEmpty())
                pick.paths.add (line);
        return pick;
    }

    // An empty title leaves the tool's own.
    juce::StringArray titleArgument (const juce::String& title)
    {
        if (title.isEmpty())
            return {};
        return { "--title=" + title };
    }
} // namespace

DialogPick pickFolderWithDialog (const juce::String& title)
{
    const auto [tool, executable] = findDialogTool();
    if (tool == Tool::none)
        return {};

    juce::StringArray arguments;
    if (tool == Tool::zenity)
        arguments.addArray ({ "--file-selection", "--directory" });
    else
        arguments.addArray ({ "--getexistingdirectory", juce::File::getSpecialLocation (juce::File::userHomeDirectory).getFullPathName() });
    arguments.addArray (titleArgument (title));

    auto pick = runDialog (executable, arguments);
    if (pick.paths.size() > 1)
        pick.paths.removeRange (1, pick.paths.size() - 1);
    return pick;
}

DialogPick pickWithFileDialog (const juce::String& title, const juce::String& filters, bool folderMode, bool multiSelect)
{
    const auto [tool, executable] = findDialogTool();
    if (tool == Tool::none)
        return {};

    juce::StringArray arguments;
    if (tool == Tool::zenity)
    {
        arguments.add ("--file-selection");
        if (folderMode)
            arguments.add ("--directory");
        else
        {
            if (multiSelect)
                arguments.addArray ({ "--multiple", "--separator=\n" });
            arguments.add ("--file-filter=Audio | " + globList (filters));
        }
    }
    else
    {
        const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getFullPathName();
        if (folderMode)
            arguments.addArray ({ "--getexistingdirectory", home });
        else
        {
            arguments.addArray ({ "--getopenfilename", home, globList (filters) + "|Audio" });
            if (multiSelect)
                arguments.addArray ({ "--multiple", "--separate-output" });
        }
    }
    arguments.addArray (titleArgument (title));

    auto pick = runDialog (executable, arguments);
    if (! folderMode)
    {
        if (! multiSelect && pick.paths.size() > 1)
            pick.paths.removeRange (1, pick.paths.size() - 1);
        return pick;
    }

    DialogPick files;
    files.shown = pick.shown;
    if (! pick.paths.isEmpty())
        collectFilesWithExtensions (juce::File (pick.paths[0]), parseExtensionFilter (filters), files.paths);
    return files;
}

juce::StringArray parseExtensionFilter (const juce::String& filters)
{
    juce::StringArray extensions;
    juce::StringArray pieces;
    pieces.addTokens (filters.toLowerCase(), ";", {});
    for (const auto& piece : pieces)
        if (const int dot = piece.indexOfChar ('.'); dot >= 0)
            extensions.add (piece.substring (dot));
    return extensions;
}

void collectFilesWithExtensions (const juce::File& folder, const juce::StringArray& extensions, juce::StringArray& out)
{
    if (extensions.isEmpty())
        return;

    // One frame per open folder: its entries in name order and the next one to look at. A folder
    // is identified by (device, inode) after following links, so each is entered once.
    struct Frame
    {
        juce::String path;
        std::vector<std::string> names;
        size_t next = 0;
    };
    std::set<std::pair<dev_t, ino_t>> visited;

    const auto open = [&visited] (const juce::String& path, Frame& frame)
    {
        struct stat info {};
        if (::stat (path.toRawUTF8(), &info) != 0 || ! S_ISDIR (info.st_mode) || ! visited.insert ({ info.st_dev, info.st_ino }).second)
            return false;
        auto* dir = ::opendir (path.toRawUTF8());
        if (dir == nullptr)
            return false;
        frame.path = path;
        while (auto* entry = ::readdir (dir))
        {
            const std::string name (entry->d_name);
            if (name != "." && name != "..")
                frame.names.push_back (name);
        }
        ::closedir (dir);
        std::sort (frame.names.begin(), frame.names.end());
        return true;
    };

    std::vector<Frame> stack (1);
    if (! open (folder.getFullPathName(), stack.back()))
        return;

    while (! stack.empty())
    {
        auto& frame = stack.back();
        if (frame.next >= frame.names.size())
        {
            stack.pop_back();
            continue;
        }
        const auto& name = frame.names[frame.next++];
        const auto path = frame.path + "/" + juce::String::fromUTF8 (name.data(), static_cast<int> (name.size()));

        struct stat info {};
        if (::stat (path.toRawUTF8(), &info) != 0)
            continue;
        if (S_ISDIR (info.st_mode))
        {
            Frame child;
            if (open (path, child))
                stack.push_back (std::move (child));
            continue;
        }

        const auto lower = path.toLowerCase();
        for (const auto& extension : extensions)
            if (lower.endsWith (extension))
            {
                out.add (path);
                break;
            }
    }
}
} // namespace quorvelle::platform
