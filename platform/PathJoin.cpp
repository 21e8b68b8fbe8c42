#include "platform/PathJoin.h"

namespace quorvelle::platform
{
juce::File resolveRelativeUnder (const juce::File& root, const juce::String& relative, bool createFolders)
{
    auto folder = root;
    juce::StringArray segments;
    segments.addTokens (relative, "/\\", {});
    for (const auto& segment : segments)
    {
        const auto clean = juce::File::createLegalFileName (segment);
        if (clean.isEmpty() || clean == "." || clean == "..")
            continue;
        folder = folder.getChildFile (clean);
        if (createFolders && ! folder.isDirectory())
            folder.createDirectory();
    }
    return folder;
}

bool isPlainFileName (const juce::String& name)
{
    return name.isNotEmpty() && name != "." && name != ".." && ! name.containsAnyOf ("/\\");
}

juce::File resolveExportFolder (const juce::String& folder, const juce::File& storageRoot, const juce::File& musicFolder)
{
    const auto path = folder.replaceCharacter ('\\', '/');
    if (path.startsWithChar ('/'))
        return juce::File (path);

    const juce::String rootPrefix ("Music/Quorvelle/"), musicPrefix ("Music/");
    if (path.startsWithIgnoreCase (rootPrefix))
        return storageRoot.getChildFile (path.substring (rootPrefix.length()));
    if (path.startsWithIgnoreCase (musicPrefix))
        return musicFolder.getChildFile (path.substring (musicPrefix.length()));
    return musicFolder.getChildFile (path);
}
} // namespace quorvelle::platform
