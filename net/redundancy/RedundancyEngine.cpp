#include "net/redundancy/RedundancyEngine.h"

namespace quorvelle
{
class RedundancyEngine::LinkThread final : public juce::Thread
{
public:
    explicit LinkThread (const juce::String& name) : juce::Thread (name) {}
    void run() override
    {
        while (! threadShouldExit())
            wait (-1);
    }
};

RedundancyEngine::RedundancyEngine (AudioEngine* engine)
    : audioEngine (engine),
      discoveryThread (std::make_unique<LinkThread> ("RedundancyDiscovery")),
      heartbeatThread (std::make_unique<LinkThread> ("RedundancyHeartbeat")),
      syncThread (std::make_unique<LinkThread> ("RedundancySync")),
      controlThread (std::make_unique<LinkThread> ("RedundancyControl"))
{
}

RedundancyEngine::~RedundancyEngine()
{
    disable();
}

void RedundancyEngine::enable (const juce::String&, const juce::String&)
{
    // The link itself comes with the redundancy engine; until then enabling changes nothing.
    juce::Logger::writeToLog ("[Redundancy] enable ignored: redundancy link not available in this build");
}

void RedundancyEngine::disable()
{
    for (auto* thread : { discoveryThread.get(), heartbeatThread.get(), syncThread.get(), controlThread.get() })
    {
        thread->signalThreadShouldExit();
        thread->notify();
    }
    for (auto* thread : { discoveryThread.get(), heartbeatThread.get(), syncThread.get(), controlThread.get() })
        thread->stopThread (2000);
    enabled = false;
}

void RedundancyEngine::failover (const juce::String&) {}
void RedundancyEngine::sendManifest (const juce::String&) {}
void RedundancyEngine::sendSongNack (const juce::String&, const juce::String&) {}
} // namespace quorvelle
