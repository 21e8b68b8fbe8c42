// Reads the device events the program sends on the typed road (AUDIO_DEVICES_LIST,
// AUDIO_CONFIG_ERROR, DEBUG_LOG) back into their JSON form.
#pragma once

#include "ProgramProcess.h"

#include "typedbridge/TypedMessages_generated.h"

#include <juce_core/juce_core.h>

namespace quorvelle::test
{
namespace typed_device_events_detail
{
inline juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

template <typename Vector>
inline juce::var texts (const Vector* values)
{
    juce::Array<juce::var> out;
    if (values != nullptr)
        for (const auto* s : *values)
            out.add (juce::String::fromUTF8 (s->c_str()));
    return out;
}

template <typename Vector>
inline juce::var numbers (const Vector* values)
{
    juce::Array<juce::var> out;
    if (values != nullptr)
        for (auto v : *values)
            out.add (v);
    return out;
}

inline juce::String text (const flatbuffers::String* s) { return s != nullptr ? juce::String::fromUTF8 (s->c_str()) : juce::String(); }

// The verified message of a TYPED_BRIDGE_V1 line, decoded into `bytes` (which must outlive it);
// null for any other line or a message that does not verify.
inline const bridge::FromNativeMessage* typedMessageOf (const juce::var& line, juce::MemoryOutputStream& bytes)
{
    if (actionOf (line) != "TYPED_BRIDGE_V1" || ! juce::Base64::convertFromBase64 (bytes, line.getProperty ("data", {}).toString()))
        return nullptr;
    flatbuffers::Verifier verifier (static_cast<const uint8_t*> (bytes.getData()), bytes.getDataSize());
    if (! verifier.VerifyBuffer<bridge::FromNativeMessage> (nullptr))
        return nullptr;
    return flatbuffers::GetRoot<bridge::FromNativeMessage> (bytes.getData());
}
} // namespace typed_device_events_detail

// The JSON form of a typed AUDIO_DEVICES_LIST, AUDIO_CONFIG_ERROR, MIDI_DEVICES_LIST or DEBUG_LOG line; void for any
// other line.
inline juce::var typedDeviceEvent (const juce::var& line)
{
    using namespace typed_device_events_detail;
    juce::MemoryOutputStream bytes;
    const auto* message = typedMessageOf (line, bytes);
    if (message == nullptr)
        return {};

    if (const auto* list = message->payload_as_AudioDevicesListEvent())
        return makeObject ({ { "action", "AUDIO_DEVICES_LIST" },
                             { "drivers", texts (list->drivers()) },
                             { "currentDriver", text (list->currentDriver()) },
                             { "devices", texts (list->devices()) },
                             { "currentDevice", text (list->currentDevice()) },
                             { "sampleRates", numbers (list->sampleRates()) },
                             { "bufferSizes", numbers (list->bufferSizes()) },
                             { "currentSampleRate", list->currentSampleRate() },
                             { "currentBufferSize", list->currentBufferSize() },
                             { "maxOutputChannels", list->maxOutputChannels() } });
    if (message->payload_as_AudioDeviceLostEvent() != nullptr)
        return makeObject ({ { "action", "AUDIO_DEVICE_LOST" } });
    if (const auto* error = message->payload_as_AudioConfigErrorEvent())
        return makeObject ({ { "action", "AUDIO_CONFIG_ERROR" }, { "operation", text (error->operation()) }, { "error", text (error->error()) } });
    if (const auto* list = message->payload_as_MidiDevicesListEvent())
    {
        juce::Array<juce::var> devices;
        if (list->devices() != nullptr)
            for (const auto* d : *list->devices())
                devices.add (makeObject ({ { "id", text (d->id()) }, { "name", text (d->name()) } }));
        return makeObject ({ { "action", "MIDI_DEVICES_LIST" }, { "devices", devices } });
    }
    if (const auto* log = message->payload_as_DebugLogEvent())
        return makeObject ({ { "action", "DEBUG_LOG" }, { "message", text (log->message()) } });
    return {};
}
} // namespace quorvelle::test
