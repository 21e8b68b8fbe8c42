#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle::platform
{
// Joins a relative folder text that the front end sends under `root`, segment by segment: split
// at "/" and "\", each segment cleaned with `File::createLegalFileName`, empty, "." and ".."
// segments skipped, so the result is `root` or a folder below it. With `createFolders` each
// missing folder on the way is created (a failure shows later, as a failed write).
// Any thread; touches only the file system.
juce::File resolveRelativeUnder (const juce::File& root, const juce::String& relative, bool createFolders);

// A file name that names a child of its folder as it is: not empty, not "." or "..", and without
// "/" or "\".
bool isPlainFileName (const juce::String& name);

// The folder an export goes to, from the front end's folder text ("\" counts as "/"): a text that
// begins with "/" is that folder; "Music/Quorvelle/..." lies under `storageRoot` and "Music/..."
// under `musicFolder` (both prefixes in any case); anything else, the empty text too, lies under
// `musicFolder`. The user picks export folders freely, so ".." is not cleaned out here.
juce::File resolveExportFolder (const juce::String& folder, const juce::File& storageRoot, const juce::File& musicFolder);
} // namespace quorvelle::platform
