#include "audio/engine/AudioEngine.h"

#include "platform/StorageRoot.h"
#include "audio/graph/CueAudioSource.h"
#include "audio/loading/Transcoder.h"
#include "platform/VirtualAudioDevice.h"

namespace quorvelle
{
AudioEngine::AudioEngine()
{
    formatManager.registerBasicFormats();
    cueSource = std::make_unique<CueAudioSource>();
    cueSource->logCallback = [this] (const juce::String& line) { debugLog (line); };
}

AudioEngine::~AudioEngine()
{
    transcoder.reset();
    if (callbackAdded)
        deviceManager.removeAudioCallback (&player);
    player.setSource (nullptr);
    deviceManager.closeAudioDevice();
    cueSource.reset();
}

void AudioEngine::loadIndicationToRam (const juce::String& indicationId, const juce::String& filePath,
                                       const juce::String& fallbackPath)
{
    indications::loadIndicationToRam (cueSource.get(), formatManager, indicationId, filePath, fallbackPath);
}

void AudioEngine::unloadIndicationFromRam (const juce::String& indicationId)
{
    indications::unloadIndicationFromRam (cueSource.get(), indicationId);
}

void AudioEngine::clearIndications() { indications::clearIndications (cueSource.get()); }

void AudioEngine::setIndicationSchedule (const juce::var& schedule)
{
    indications::setIndicationSchedule (cueSource.get(), schedule);
}

void AudioEngine::enqueueTranscodeJob (TranscodeJob job)
{
    if (transcoder == nullptr)
        transcoder = std::make_unique<TranscoderThread> (formatManager, [] { return getStorageRoot(); }, [this] (const juce::var& event)
        {
            if (eventSink)
                eventSink ("fromNative", event);
        });
    transcoder->enqueue (std::move (job));
}

void AudioEngine::enqueueTranscode (const juce::String& id, const juce::String& trackId, const juce::String& subfolder,
                                    const juce::String& filename, const juce::String& base64Data)
{
    enqueueTranscodeJob ({ id, trackId, subfolder, filename, {}, base64Data, {}, false });
}

void AudioEngine::enqueueTranscodeFromPath (const juce::String& id, const juce::String& trackId, const juce::String& subfolder,
                                            const juce::String& filename, const juce::String& sourcePath, bool deleteSourceAfterRead)
{
    enqueueTranscodeJob ({ id, trackId, subfolder, filename, {}, {}, sourcePath, deleteSourceAfterRead });
}

void AudioEngine::cancelTranscodes()
{
    if (transcoder != nullptr)
        transcoder->cancelAll();
}

void AudioEngine::debugLog (const juce::String& line)
{
    juce::Logger::writeToLog (line);

    if (eventSink)
        eventSink ("fromNative", makeObject ({ { "action", "DEBUG_LOG" }, { "message", line } }));
}

void AudioEngine::logStartupStep (const juce::String& step)
{
    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - initialiseStartMs) / 1000.0;
    juce::Logger::writeToLog ("[STARTUP-AE " + juce::String (seconds, 3) + "s] " + step);
}

void AudioEngine::openDefaultDevice()
{
    // Creates the system's types (ALSA, JACK) before ours is added: the manager only creates its
    // defaults while its list is empty.
    const auto& types = deviceManager.getAvailableDeviceTypes();

    juce::String chosenType = "ALSA";
    for (auto* type : types)
    {
        if (type->getTypeName() == "JACK")
        {
            // JACK lists devices only while a server runs (it never starts one itself).
            type->scanForDevices();
            if (! type->getDeviceNames (false).isEmpty())
                chosenType = "JACK";
        }
    }

    juce::XmlElement state ("DEVICESETUP");
    state.setAttribute ("deviceType", chosenType);
    const auto error = deviceManager.initialise (0, 2, &state, true);

    debugLog ("[INIT-FLOW] initialise(): device open " + juce::String (deviceManager.getCurrentAudioDevice() != nullptr ? "OK" : "FAILED")
              + " | type=" + chosenType + (error.isNotEmpty() ? " | error=" + error : juce::String()));

    // The virtual device type is listed with the drivers; it is opened only when chosen.
    deviceManager.addAudioDeviceType (platform::createVirtualAudioDeviceType());
}

void AudioEngine::initialise()
{
    initialiseStartMs = juce::Time::getMillisecondCounterHiRes();
    if (initialiseHeldForTesting)
        return;

    logStartupStep ("initialise() START");
    debugLog ("[INIT-FLOW] initialise() ENTER on BG thread | deviceSampleRate=" + juce::String (getDeviceSampleRate()));

    openDefaultDevice();
    logStartupStep ("device open done");

    if (auto* device = deviceManager.getCurrentAudioDevice())
    {
        deviceSampleRate = device->getCurrentSampleRate();
        lastDeviceName = device->getName();
        juce::Logger::writeToLog ("AudioEngine: Audio device Configured. SR: " + juce::String (device->getCurrentSampleRate())
                                  + " Hz, Buffer: " + juce::String (device->getCurrentBufferSizeSamples()));
    }

    deviceManager.addAudioCallback (&player);
    callbackAdded = true;
    logStartupStep ("addAudioCallback done");

    initialiseComplete = true;
    debugLog (juce::String (juce::CharPointer_UTF8 ("[INIT-FLOW] initialise(): BACKEND_READY — bridge gating released")));
    sendBackendReady();
}

juce::var AudioEngine::makeBackendReadyEvent() const
{
    const auto root = getStorageRoot().getFullPathName();
    return makeObject ({
        { "action", "BACKEND_READY" },
        { "deviceSampleRate", getDeviceSampleRate() },
        // Total physical memory in MB, rounded up by one as the front end has always received it.
        { "systemMemoryMB", juce::SystemStats::getMemorySizeInMegabytes() + 1 },
        { "deviceId", getDeviceId() },
        { "schemaHash", "dbaf31540c7226f3" },
        { "storageRoot", root },
        { "storageRootB64", juce::Base64::toBase64 (root.toRawUTF8(), root.getNumBytesAsUTF8()) },
        { "storageRootNeedsChoice", ! hasStorageRootConfig() && ! defaultRootHasLibrary() },
    });
}

void AudioEngine::setAutomationCues (const core::Json& payload)
{
    static const core::Json emptyArray = core::Json::array();
    static const core::Json emptyObject = core::Json::object();
    const auto member = [&payload] (const char* key, const core::Json& absent) -> const core::Json&
    {
        const auto* found = core::findMember (payload, key);
        return found != nullptr ? *found : absent;
    };

    automationCues = core::readAutomationCues (member ("cues", emptyArray));
    automationBaseState = core::readAutomationBaseState (member ("baseState", emptyObject));
    automationOverrides = core::readAutomationOverrides (member ("overrides", emptyArray));
    automationSongMap = core::readAutomationSongMap (member ("songMap", emptyObject));
}

void AudioEngine::sendBackendReady()
{
    if (eventSink)
        eventSink ("fromNative", makeBackendReadyEvent());
}
} // namespace quorvelle
