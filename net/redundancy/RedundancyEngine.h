#pragma once

#include "platform/EventSink.h"

#include <juce_core/juce_core.h>

#include <memory>

namespace quorvelle
{
class AudioEngine;

// Pairs a primary and a standby machine (discovery, heartbeat, position sync, control). Empty
// state and no threads until enabled.
class RedundancyEngine
{
public:
    explicit RedundancyEngine (AudioEngine* engine);
    ~RedundancyEngine(); // disables the link: its threads stopped within 2000 ms each

    // Set once by the owner; called from the redundancy threads.
    EventSink eventSink;

    void enable (const juce::String& preference, const juce::String& pin);
    void disable();
    void failover (const juce::String& reason);
    void sendManifest (const juce::String& manifest);
    void sendSongNack (const juce::String& songId, const juce::String& title);

    bool isEnabled() const { return enabled; }

private:
    class LinkThread;

    AudioEngine* const audioEngine;
    std::unique_ptr<LinkThread> discoveryThread, heartbeatThread, syncThread, controlThread;
    bool enabled = false;
};
} // namespace quorvelle
