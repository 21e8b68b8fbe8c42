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
} // namespace quorvelle::platform
