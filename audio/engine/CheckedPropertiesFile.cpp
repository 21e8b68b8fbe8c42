#include "audio/engine/CheckedPropertiesFile.h"

#include "platform/CheckedWrite.h"

namespace quorvelle
{
CheckedPropertiesFile::CheckedPropertiesFile (const juce::File& file, const Options& options)
    : juce::PropertiesFile (file, options), millisecondsBeforeSaving (options.millisecondsBeforeSaving)
{
}

CheckedPropertiesFile::~CheckedPropertiesFile()
{
    delayedSave.stopTimer();
    saveIfNeeded();
    // What could not be written is not handed to the framework's writer either.
    setNeedsToBeSaved (false);
}

void CheckedPropertiesFile::propertyChanged()
{
    sendChangeMessage();
    setNeedsToBeSaved (true);

    if (millisecondsBeforeSaving > 0)
        delayedSave.startTimer (millisecondsBeforeSaving);
    else if (millisecondsBeforeSaving == 0)
        saveIfNeeded();
}

bool CheckedPropertiesFile::saveIfNeeded()
{
    const juce::ScopedLock sl (getLock());
    return ! needsToBeSaved() || save();
}

bool CheckedPropertiesFile::save()
{
    const juce::ScopedLock sl (getLock());

    juce::XmlElement doc ("PROPERTIES");
    const auto& properties = getAllProperties();

    for (int i = 0; i < properties.size(); ++i)
    {
        auto* value = doc.createNewChildElement ("VALUE");
        value->setAttribute ("name", properties.getAllKeys()[i]);

        if (auto nested = juce::parseXML (properties.getAllValues()[i]))
            value->addChildElement (nested.release());
        else
            value->setAttribute ("val", properties.getAllValues()[i]);
    }

    juce::String error;
    const bool written = platform::replaceFileUsing (getFile(), [&doc] (juce::OutputStream& out)
    {
        doc.writeTo (out);
        return true;
    }, &error);

    if (! written)
    {
        juce::Logger::writeToLog ("[SETTINGS] could not save " + getFile().getFullPathName() + ": " + error);
        return false;
    }

    setNeedsToBeSaved (false);
    return true;
}
} // namespace quorvelle
