#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle::test
{
// A fresh folder under the system's temporary folder, deleted with its contents on destruction.
class TempFolder
{
public:
    TempFolder();
    ~TempFolder();
    TempFolder (const TempFolder&) = delete;
    TempFolder& operator= (const TempFolder&) = delete;

    const juce::File& folder() const { return dir; }
    juce::File operator/ (const juce::String& relative) const { return dir.getChildFile (relative); }

private:
    juce::File dir;
};
} // namespace quorvelle::test
