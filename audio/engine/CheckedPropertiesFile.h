#pragma once

#include <juce_data_structures/juce_data_structures.h>

namespace quorvelle
{
// A juce::PropertiesFile in XML whose every save replaces the file through a checked temporary
// file (platform/CheckedWrite.h): a failed or interrupted write leaves the previous file whole.
// JUCE's own writer renames after deleting the target and is never used: the delayed save after a
// change, `save`, `saveIfNeeded` and the destructor all write here. The XML is the framework's
// (a "PROPERTIES" element, one "VALUE" per key, values that parse as XML nested as elements), so
// juce::PropertiesFile reads it back.
//
// Threads: values may be read and set from any thread (the property set's lock); the delayed save
// runs on the message thread.
class CheckedPropertiesFile final : public juce::PropertiesFile
{
public:
    CheckedPropertiesFile (const juce::File& file, const Options& options);
    ~CheckedPropertiesFile() override;

    // Hide the framework's writers: through this type every save is checked.
    bool save();
    bool saveIfNeeded();

protected:
    void propertyChanged() override;

private:
    struct DelayedSave final : juce::Timer
    {
        explicit DelayedSave (CheckedPropertiesFile& f) : owner (f) {}
        void timerCallback() override
        {
            stopTimer();
            owner.saveIfNeeded();
        }
        CheckedPropertiesFile& owner;
    };

    const int millisecondsBeforeSaving;
    DelayedSave delayedSave { *this };

    JUCE_DECLARE_NON_COPYABLE (CheckedPropertiesFile)
};
} // namespace quorvelle
