#include "audio/engine/AudioEngine.h"
#include "audio/engine/OfflineMixRenderer.h"

#include "audio/graph/AudioThreadLog.h"
#include "audio/loading/Transcoder.h"
#include "core/StemRoles.h"
#include "platform/VirtualAudioDevice.h"

#include <cstring>

namespace quorvelle
{
const juce::StringArray& busCategoryNames()
{
    static const juce::StringArray names { "click", "guide", "drums", "percussion", "loops", "bass", "piano", "keys",
                                           "electric_gtr", "acoustic_gtr", "strings", "brass", "pad", "vocals", "fx", "aux" };
    return names;
}

//==============================================================================
int AudioEngine::LoadedTrack::getNumChannels() const
{
    if (buffer != nullptr)
        return buffer->getNumChannels();
    if (int16Channels != nullptr)
        return static_cast<int> (int16Channels->size());
    return -1;
}

int AudioEngine::LoadedTrack::getNumSamples() const
{
    if (buffer != nullptr)
        return buffer->getNumSamples();
    if (int16Channels != nullptr)
        return int16Channels->empty() ? -1 : static_cast<int> (int16Channels->front().numSamples);
    return -1;
}

//==============================================================================
AudioEngine::AudioEngine (EventSink sink, std::function<juce::File()> storageRootIn)
    : eventSink (std::move (sink)), storageRoot (std::move (storageRootIn))
{
    jassert (storageRoot != nullptr);
    formatManager.registerBasicFormats();

    masterReadAhead.startThread (juce::Thread::Priority::highest);
    padReadAhead.startThread (juce::Thread::Priority::normal);

    peakGenerator = std::make_unique<PeakGeneratorThread> (*this);
    trackLoader = std::make_unique<TrackLoaderThread> (*this);
    preloader = std::make_unique<PreloadThread> (*this);

    buildGraph();
    player.setSource (router.get());

    // Lines the graph queues on the audio thread reach the log on the message thread.
    AudioThreadLog::shared().startDrainTimer (50);
    countInLogSink = AudioThreadLog::shared().addSink ([this, weak = std::weak_ptr<Liveness> (liveness)] (const juce::String& line)
    {
        if (weak.lock() != nullptr)
            debugLog (line);
    });

    songLinks.transport = &masterTransport;
    songLinks.pause = [this] { pause(); };
    songLinks.reseat = [this]
    {
        if (songResampler != nullptr && ! masterTransport.isPlaying())
            seek (songTimeForTransportSeconds (masterTransport.getCurrentPosition()));
    };
    songLinks.resampler = [this] { return songResampler.get(); };
    songLinks.songId = [this] { return activeSongId; };
}

void AudioEngine::buildGraph()
{
    // The graph's sources log from the audio thread through the preallocated record queue; the
    // drain timer hands the lines to the engine's log on the message thread.
    // Graph objects may post their lines to the message thread: a line that arrives after the
    // engine is gone is dropped.
    const auto log = [this, weak = std::weak_ptr<Liveness> (liveness)] (const juce::String& line)
    {
        if (weak.lock() != nullptr)
            debugLog (line);
    };

    metronome = std::make_unique<MetronomeAudioSource>();
    metronome->logCallback = log;
    metronome->deviceRateChangedFlag = &deviceRateChangedDuringClickSection;
    metronome->transportPlayingFlag = &playbackGate;
    metronome->countInRunningFlag = &countInRunning;
    metronome->blockObserver = [this] (int numSamples) { advanceClickSection (numSamples); };
    metronomeVolumeGain = std::make_unique<SmoothedGainAudioSource> (metronome.get());
    metronomeVolumeGain->setGain (metronomeGain, 0.02f);
    metronomeVolumeGain->setMuteFlag (&countInRunning);

    cue = std::make_unique<CueAudioSource>();
    cue->logCallback = log;
    cue->songTimeSource = &songTimeSeconds;
    cue->clickSectionActiveFlag = &cueClickSectionFlag;
    cue->transportPlayingFlag = &playbackGate;
    cue->countInRunningFlag = &countInRunning;
    cueVolumeGain = std::make_unique<SmoothedGainAudioSource> (cue.get());
    cueVolumeGain->setGain (guideGain, 0.02f);

    for (int i = 0; i < 16; ++i)
    {
        const auto name = busCategoryNames()[i];
        auto bus = std::make_unique<GroupBus>();
        bus->createChain (name, ! core::isUnpitchedBusGroup (name.toStdString()));
        bus->stretch->bypass = stretchBypassed;
        groupBuses[name] = std::move (bus);
    }
    for (auto& [name, bus] : groupBuses)
        groupMixer.addInputSource (bus->tap.get(), &bus->stretch->bypass);
    groupMixer.setRenderPool (&renderPool);

    musicCrossfade = std::make_unique<MusicCrossfadeSource> (&groupMixer);
    musicGain = std::make_unique<CosineSmoothedGainAudioSource> (musicCrossfade.get());
    musicGain->setGain (1.0f, 0.02f);

    metronomeBusGain = std::make_unique<SmoothedGainAudioSource> (metronomeVolumeGain.get());
    metronomeBusGain->setGain (1.0f, 0.02f);
    cueBusGain = std::make_unique<SmoothedGainAudioSource> (cueVolumeGain.get());
    cueBusGain->setGain (1.0f, 0.02f);
    metronomeTap = std::make_unique<TapAudioSource> (metronomeBusGain.get());
    cueTap = std::make_unique<TapAudioSource> (cueBusGain.get());

    musicMixer.addInputSource (musicGain.get());
    loopRegion = std::make_unique<LoopRegionSource> (&musicMixer);
    loopRegion->onPositionJump = [this] (int64_t position, double rate) { onTransportPosition (position, rate); };

    splitRouter = std::make_unique<SplitRouterSource> (loopRegion.get());
    for (const auto* monitored : { "click", "guide" })
        if (auto* bus = getGroupBus (monitored); bus != nullptr && bus->tap != nullptr)
            splitRouter->monitorTaps.push_back (bus->tap.get());

    padFilter = std::make_unique<FilteredAudioSource> (&padMixer);
    padFilter->lowPassCutoff = 20000.0f;
    padFilter->highPassCutoff = 20.0f;
    padMasterGain = std::make_unique<SimpleSmoothedGainAudioSource> (padFilter.get());
    padMasterGain->setGain (1.0f, 0.02f);
    padBusGain = std::make_unique<SimpleSmoothedGainAudioSource> (padMasterGain.get());
    padBusGain->setGain (1.0f, 0.02f);
    padTap = std::make_unique<SimpleTapAudioSource> (padBusGain.get());

    countIn = std::make_unique<CountInAudioSource>();
    countIn->countInState = &countInState;
    countIn->logCallback = log;
    countOverlay = std::make_unique<OverlaySampleSource>();
    countOverlayClick = std::make_unique<OverlaySampleSource>();
    countOverlayGuide = std::make_unique<OverlaySampleSource>();

    router = std::make_unique<MultiBusRouter>();
    router->logCallback = log;
    router->mainSource = &masterTransport;
    router->transport = &masterTransport;
    router->countInState = &countInState;
    router->sessionPresent = &sessionPresent;
    router->standaloneCountActive = &standaloneCountInActive;
    router->countJumpArmed = &countJumpArmed;
    router->handoffArmed = &handoffPending;
    router->overlayDrivesHandoff = &overlayPlaying;
    router->autoStartRaised = &handoffDone;
    router->handoffStampMs = &handoffStamps[0];
    router->renderPool = &renderPool;
    // Set before any device runs and never reassigned: they run on the audio thread.
    router->handoffCallback = [this] { onOverlapAutoStart(); };
    router->countJumpCallback = [this] { onCountJumpEnd(); };
    router->blockRenderedCallback = [this] { onAudioBlockRendered(); };
    // The count-in completion starts the song on the audio thread; installed before any device
    // runs, so the audio thread never sees it change.
    countInState.onComplete = [this] { onCountInComplete(); };

    for (auto& [name, bus] : groupBuses)
        router->addBus (name, bus->tap.get());

    router->setMonitor ("click", true);
    router->setMonitor ("guide", true);
    router->addDirectSource ("metronomeTap", metronomeTap.get());
    router->setMonitor ("metronomeTap", true);
    router->addDirectSource ("cueTap", cueTap.get());
    router->setMonitor ("cueTap", true);
    router->addDirectSource ("pads", padTap.get());
    router->addDirectSource ("countIn", countIn.get());
    router->addDirectSource ("countOverlay", countOverlay.get());
    router->addDirectSource ("countOverlayClick", countOverlayClick.get());
    router->setMonitor ("countOverlayClick", true);
    router->addDirectSource ("countOverlayGuide", countOverlayGuide.get());
    router->setMonitor ("countOverlayGuide", true);
}

AudioEngine::~AudioEngine()
{
    stopTimer();
    // A running export drives the graph: it ends before anything it renders goes.
    shutDownExport();
    // The session ends first: workers signalled, transport stopped, tracks freed.
    reset();

    // The asset loader checks between folders; it must be gone before the sources it fills.
    assetLoaderShouldStop = true;
    waitForAssetLoader();

    // The transcoder's own destructor stops its thread within its bound.
    transcoder.reset();
    // The preloader's run reads the format manager and the probe: it ends before they go.
    preloader->stopWithin (2000);
    trackLoader->stopWithin (3000);
    peakGenerator->stopWithin (2000);

    {
        const juce::ScopedLock lock (midiLock);
        for (auto& [id, input] : midiInputs)
            input->stop();
        midiInputs.clear();
        juce::Logger::writeToLog ("AudioEngine: Closed all MIDI inputs");
    }

    player.setSource (nullptr);

    deviceManager.removeChangeListener (this);
    if (callbackAdded)
        deviceManager.removeAudioCallback (&player);
    deviceManager.closeAudioDevice();

    masterReadAhead.stopThread (1000);
    padReadAhead.stopThread (1000);

    AudioThreadLog::shared().stopDrainTimer();
    AudioThreadLog::shared().drain();
    AudioThreadLog::shared().removeSink (countInLogSink);

    // Posted closures still in the queue see the token gone and do nothing.
    liveness.reset();
    masterTransport.setSource (nullptr);
}

//==============================================================================
void AudioEngine::enqueueTranscodeJob (TranscodeJob job)
{
    if (transcoder == nullptr)
        transcoder = std::make_unique<TranscoderThread> (formatManager, storageRoot, [this] (const juce::var& event) { sendEvent (event); });
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

//==============================================================================
void AudioEngine::debugLog (const juce::String& line)
{
    if (eventSink)
        eventSink ("fromNative", makeObject ({ { "action", "DEBUG_LOG" }, { "message", line } }));

    juce::Logger::writeToLog (line);
}

void AudioEngine::sendEvent (const juce::var& payload)
{
    if (eventSink)
        eventSink ("fromNative", payload);
}

void AudioEngine::postToMessageThread (std::function<void()> work) const
{
    juce::MessageManager::callAsync ([weak = std::weak_ptr<Liveness> (liveness), work = std::move (work)]
    {
        if (weak.lock() != nullptr)
            work();
    });
}

void AudioEngine::postEvent (const juce::var& payload)
{
    postToMessageThread ([this, payload] { sendEvent (payload); });
}

//==============================================================================
GroupBus* AudioEngine::getGroupBus (const juce::String& name)
{
    const auto found = groupBuses.find (name);
    return found != groupBuses.end() ? found->second.get() : nullptr;
}

int AudioEngine::getLiveStretchLatencySamples() const
{
    int latency = 0;
    for (const auto& [name, bus] : groupBuses)
        latency = std::max (latency, bus->stretch->latencySamples());
    return latency;
}

void AudioEngine::setStretchBypass (bool bypass)
{
    stretchBypassed = bypass;
    for (auto& [name, bus] : groupBuses)
        bus->stretch->bypass = bypass;

    // The song-locked direct sources wait for the stretched music: the stretchers' latency in
    // force, at the device rate.
    int delay = 0;
    if (! bypass)
    {
        // One latency for all buses, the largest their settings need (tempo and key change only
        // while paused, so the stretchers restart with it).
        int latency = 0;
        for (const auto& [name, bus] : groupBuses)
            latency = std::max (latency, bus->stretch->latencyFor (bus->stretch->rate.load(), bus->stretch->semitones.load()));
        for (auto& [name, bus] : groupBuses)
            bus->stretch->setLatencySamples (latency);
        const auto session = sessionSampleRate.load();
        const auto device = deviceSampleRate.load();
        delay = juce::roundToInt (getLiveStretchLatencySamples() * (session > 0.0 ? device / session : 1.0));
    }
    router->setSongLockedDelay (delay);
}

void AudioEngine::setActiveSongId (const juce::String& songId)
{
    activeSongId = songId;
    {
        const juce::SpinLock::ScopedLockType lock (activeSongIdLock);
        activeSongIdBuffer.fill (0);
        songId.copyToUTF8 (activeSongIdBuffer.data(), activeSongIdBuffer.size());
    }
    sessionPresent = songId.isNotEmpty();
}

bool AudioEngine::copyActiveSongId (char* out, size_t capacity, bool tryOnly) const noexcept
{
    if (out == nullptr || capacity == 0)
        return false;
    out[0] = 0;

    const juce::SpinLock::ScopedTryLockType attempt (activeSongIdLock);
    if (! attempt.isLocked())
    {
        if (tryOnly)
            return false;
        const juce::SpinLock::ScopedLockType lock (activeSongIdLock);
        return copyActiveSongId (out, capacity, true);
    }

    size_t length = std::strlen (activeSongIdBuffer.data());
    if (length >= capacity)
    {
        length = capacity - 1;
        // Never end inside a UTF-8 sequence: back up over continuation bytes.
        while (length > 0 && (static_cast<unsigned char> (activeSongIdBuffer[length]) & 0xC0) == 0x80)
            --length;
    }
    std::memcpy (out, activeSongIdBuffer.data(), length);
    out[length] = 0;
    return length > 0;
}

//==============================================================================
// Loads from filePath when it names an existing file, else from fallbackPath, else logs the failure.
void AudioEngine::loadIndicationToRam (const juce::String& indicationId, const juce::String& filePath,
                                       const juce::String& fallbackPath)
{
    const auto isExistingFile = [] (const juce::String& path)
    { return path.isNotEmpty() && juce::File::isAbsolutePath (path) && juce::File (path).existsAsFile(); };

    if (isExistingFile (filePath))
    {
        cue->loadIndication (indicationId, juce::File (filePath), formatManager);
        return;
    }
    if (! isExistingFile (fallbackPath))
    {
        juce::Logger::writeToLog ("Indication load FAILED (file not found): " + filePath);
        return;
    }
    juce::Logger::writeToLog ("Indication load: path not found, using id fallback " + fallbackPath);
    cue->loadIndication (indicationId, juce::File (fallbackPath), formatManager);
}

void AudioEngine::unloadIndicationFromRam (const juce::String& indicationId) { cue->unloadIndication (indicationId); }

void AudioEngine::clearIndications() { cue->clearIndications(); }

void AudioEngine::setIndicationSchedule (const juce::var& schedule) { cue->setIndicationSchedule (schedule); }

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
} // namespace quorvelle
