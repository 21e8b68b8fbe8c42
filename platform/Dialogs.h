#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle::platform
{
// The desktop's file dialogs, run as child programs: zenity when it is in PATH, else kdialog.
// The tool is looked up in PATH first (JUCE 7's ChildProcess reports success when exec fails)
// and every option is passed as one "--name=value" argument (ChildProcess drops empty ones).
// Only the tool's stdout is read, one path per line. Exit status 0 is a pick; anything else is a
// cancel. Without either tool nothing is shown and the answer is an empty pick.
//
// Threads: each call blocks its calling thread (a job thread) until the dialog closes.
struct DialogPick
{
    juce::StringArray paths; // empty when nothing was picked
    bool shown = false;      // a tool was found and started
};

// One folder, or none.
DialogPick pickFolderWithDialog (const juce::String& title);

// File mode: the picked files (one unless `multiSelect`), filtered by `filters` ("*.wav;*.mp3").
// Folder mode: the audio files below the picked folder, found with the extensions of `filters`;
// the folder itself is not returned.
DialogPick pickWithFileDialog (const juce::String& title, const juce::String& filters, bool folderMode, bool multiSelect);

// Lower-case suffixes starting at the first "." of each ";"-separated pattern ("*.WAV" gives
// ".wav", "*.tar.gz" ".tar.gz"); patterns without a "." are dropped.
juce::StringArray parseExtensionFilter (const juce::String& filters);

// Appends the files below `folder`, at any depth, whose lower-cased path ends with one of the
// extensions. Entries are taken in name order, a sub-folder scanned where it is met. A folder
// reached again (a symlink loop or a second link to it) is not scanned twice; unreadable folders
// are skipped.
void collectFilesWithExtensions (const juce::File& folder, const juce::StringArray& extensions, juce::StringArray& out);
} // namespace quorvelle::platform
