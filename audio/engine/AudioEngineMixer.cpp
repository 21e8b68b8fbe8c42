// The engine's mixer (levels, mutes, solos, click and guide sources, bus, master and pad levels)
// and the click and cue settings handed to the metronome and the cue source. Message thread.
#include "audio/engine/AudioEngine.h"
#include "audio/engine/MixerOrders.h"
#include "audio/graph/GraphUtils.h"

#include <array>
#include <cmath>
#include <optional>

namespace quorvelle
{
namespace
{
constexpr float trackRampSeconds = 0.02f;
constexpr float stageRampSeconds = 0.05f;

// 10^(dB/20) above `floorDb`, else exactly 0. Empty when dB is not finite or the gain overflows.
std::optional<float> gainFromDb (float dB, float floorDb)
{
    if (! std::isfinite (dB))
        return std::nullopt;
    if (dB <= floorDb)
        return 0.0f;
    const auto gain = std::pow (10.0f, dB / 20.0f);
    if (! std::isfinite (gain))
        return std::nullopt;
    return gain;
}

juce::String flagText (bool value) { return value ? "true" : "false"; }
juce::String yesNo (bool value) { return value ? "Y" : "N"; }
} // namespace

//==============================================================================
// The volume rule with the refusal of values that cannot become a finite gain.
static std::optional<float> checkedVolume (AudioEngine& engine, const char* operation, float dB, float floorDb = -100.0f)
{
    const auto gain = gainFromDb (dB, floorDb);
    if (! gain)
        engine.debugLog ("AudioEngine: " + juce::String (operation) + " ignored a level that is not a finite gain: " + juce::String (dB));
    return gain;
}

void AudioEngine::setTrackVolume (const juce::String& trackId, float dB)
{
    const auto found = tracks.find (trackId);
    if (verboseDiagnostics.load())
    {
        const auto line = [&] (const juce::String& inst, bool isFound)
        {
            debugLog ("[GTR-NATIVE] setTrackVolume id=" + trackId + " inst=" + inst + " found=" + (isFound ? "YES" : "NO")
                      + " dB=" + juce::String (dB, 2) + " mapSize=" + juce::String ((int) tracks.size()));
        };
        if (found == tracks.end())
        {
            if (trackId.containsIgnoreCase ("guitar") || trackId.containsIgnoreCase ("GTR"))
                line ("?", false);
        }
        else if (auto& track = *found->second; track.instrumentType.startsWith ("GUITAR") && std::abs (dB - track.lastLoggedDb) > 0.001f)
        {
            track.lastLoggedDb = dB;
            line (track.instrumentType, true);
        }
    }
    if (found == tracks.end())
        return;
    if (const auto gain = checkedVolume (*this, "setTrackVolume", dB))
    {
        found->second->volume = *gain;
        updateGains();
    }
}

void AudioEngine::setTrackMute (const juce::String& trackId, bool muted)
{
    if (const auto found = tracks.find (trackId); found != tracks.end())
    {
        found->second->mute = muted;
        updateGains();
    }
}

void AudioEngine::setTrackSolo (const juce::String& trackId, bool soloed)
{
    if (const auto found = tracks.find (trackId); found != tracks.end())
    {
        found->second->solo = soloed;
        updateGains();
    }
}

void AudioEngine::setMetronomeVolume (float dB)
{
    if (const auto gain = checkedVolume (*this, "setMetronomeVolume", dB))
    {
        metronomeGain = *gain;
        updateGains();
    }
}

void AudioEngine::setMetronomeLevels (float accentDb, float quarterDb, float eighthDb, float sixteenthDb)
{
    const std::array<float, 4> levels { accentDb, quarterDb, eighthDb, sixteenthDb };
    std::array<std::atomic<float>*, 4> metronomeLevels {};
    if (metronome != nullptr)
        metronomeLevels = { &metronome->accentLevel, &metronome->quarterLevel, &metronome->eighthLevel, &metronome->sixteenthLevel };
    for (size_t i = 0; i < levels.size(); ++i)
    {
        const auto gain = checkedVolume (*this, "setMetronomeLevels", levels[i], -60.0f);
        if (! gain)
            continue;
        if (metronomeLevels[i] != nullptr)
            metronomeLevels[i]->store (*gain);
        if (countIn != nullptr)
            countIn->clickLevels[i].store (*gain);
    }
}

void AudioEngine::setMetronomeSound (const juce::String& soundName)
{
    if (metronome != nullptr)
        metronome->setSound (soundName);
}

void AudioEngine::setMetronomeMute (bool muted)
{
    metronomeMute = muted;
    updateGains();
}

void AudioEngine::setMetronomeSolo (bool soloed)
{
    metronomeSolo = soloed;
    updateGains();
}

void AudioEngine::setClickSource (bool internal)
{
    clickSourceInternal = internal;
    juce::Logger::writeToLog ("AudioEngine: Click Source = " + juce::String (internal ? "INT" : "SEQ"));
    updateGains();
}

void AudioEngine::setGuideSource (bool internal)
{
    guideSourceInternal = internal;
    juce::Logger::writeToLog ("AudioEngine: Guide Source = " + juce::String (internal ? "INT" : "SEQ"));
    updateGains();
}

void AudioEngine::setGuideVolume (float dB)
{
    if (const auto gain = checkedVolume (*this, "setGuideVolume", dB))
    {
        guideGain = *gain;
        updateGains();
    }
}

void AudioEngine::setGuideMute (bool muted)
{
    guideMute = muted;
    updateGains();
}

void AudioEngine::setGuideSolo (bool soloed)
{
    guideSolo = soloed;
    updateGains();
}

void AudioEngine::setBusVolume (const juce::String& busName, float dB)
{
    const auto checked = checkedVolume (*this, "setBusVolume", dB);
    if (! checked)
        return;
    const auto gain = *checked;
    if (const auto bus = groupBuses.find (busName); bus != groupBuses.end() && bus->second->gain != nullptr)
        bus->second->gain->setGain (gain, stageRampSeconds);

    if (busName == "click")
    {
        if (metronomeBusGain != nullptr)
            metronomeBusGain->setGain (gain, stageRampSeconds);
        clickBusGain = gain;
        if (router != nullptr)
        {
            router->setDirectGain ("countIn", gain);
            router->setDirectGain ("countOverlayClick", gain);
        }
    }
    else if (busName == "guide")
    {
        if (cueBusGain != nullptr)
            cueBusGain->setGain (gain, stageRampSeconds);
        guideBusGain = gain;
        if (router != nullptr)
            router->setDirectGain ("countOverlayGuide", gain);
    }
    else if (busName == "pad")
    {
        if (padBusGain != nullptr)
            padBusGain->setGain (gain, stageRampSeconds);
    }
}

void AudioEngine::setMasterVolume (float dB)
{
    if (router == nullptr)
        return;
    if (const auto gain = checkedVolume (*this, "setMasterVolume", dB))
        router->masterGain.store (*gain);
}

void AudioEngine::setPadMasterVolume (float dB)
{
    if (padMasterGain == nullptr)
        return;
    if (const auto gain = checkedVolume (*this, "setPadMasterVolume", dB))
        padMasterGain->setGain (*gain, stageRampSeconds);
}

// Stores a clamped cut-off and recomputes the filter; a value that is not finite is ignored.
static void setPadCutoff (AudioEngine& engine, FilteredAudioSource* filter, std::atomic<float> FilteredAudioSource::*cutoff,
                          const char* operation, float hz)
{
    if (filter == nullptr)
        return;
    if (! std::isfinite (hz))
    {
        engine.debugLog ("AudioEngine: " + juce::String (operation) + " ignored a frequency that is not finite: " + juce::String (hz));
        return;
    }
    (filter->*cutoff).store (juce::jlimit (20.0f, 20000.0f, hz));
    filter->updateCoefficients();
}

void AudioEngine::setPadMasterLowPass (float hz)
{
    setPadCutoff (*this, padFilter.get(), &FilteredAudioSource::lowPassCutoff, "setPadMasterLowPass", hz);
}

void AudioEngine::setPadMasterHighPass (float hz)
{
    setPadCutoff (*this, padFilter.get(), &FilteredAudioSource::highPassCutoff, "setPadMasterHighPass", hz);
}

void AudioEngine::updateGains()
{
    bool anySolo = metronomeSolo || guideSolo;
    for (const auto& [id, track] : tracks)
        anySolo = anySolo || track->solo;

    if (anySolo)
    {
        juce::Logger::writeToLog ("--- updateGains ---");
        juce::Logger::writeToLog ("System: AnySolo=true ClickSolo=" + flagText (metronomeSolo));
    }

    const bool verbose = verboseDiagnostics.load();
    for (const auto& [id, trackPtr] : tracks)
    {
        auto& track = *trackPtr;
        const bool forceSilenced = (clickSourceInternal && track.instrumentType == "CLICK")
                                   || (guideSourceInternal && track.instrumentType == "CUES");
        const bool shouldPlay = ! forceSilenced && (track.solo || (! anySolo && ! track.mute));
        const float effective = shouldPlay ? track.volume : 0.0f;
        if (track.gain != nullptr)
            track.gain->setGain (effective, trackRampSeconds);

        if (verbose && track.instrumentType.startsWith ("GUITAR") && std::abs (effective - track.lastLoggedGain) > 0.0001f)
        {
            track.lastLoggedGain = effective;
            debugLog ("[GTR-NATIVE] updateGains id=" + id + " inst=" + track.instrumentType + " anySolo=" + yesNo (anySolo)
                      + " solo=" + yesNo (track.solo) + " mute=" + yesNo (track.mute) + " forceSil=" + yesNo (forceSilenced)
                      + " curGain=" + juce::String (track.volume, 3) + juce::String::fromUTF8 (" \xe2\x86\x92 effGain=")
                      + juce::String (effective, 3));
        }
        if (anySolo)
            juce::Logger::writeToLog ("Track " + id + ": Solo=" + flagText (track.solo) + " Mute=" + flagText (track.mute)
                                      + " ForceSilenced=" + flagText (forceSilenced) + " Gain=" + juce::String (track.volume)
                                      + " -> ShouldPlay=" + flagText (shouldPlay));
    }

    if (pad1Gain != nullptr && pad1Enabled)
    {
        if (anySolo)
            juce::Logger::writeToLog ("Pad: ShouldPlay=false BaseGain=" + juce::String (pad1BaseGain));
        pad1Gain->setGain (anySolo ? 0.0f : pad1BaseGain, stageRampSeconds);
    }
    if (pad2Gain != nullptr && pad2Enabled)
        pad2Gain->setGain (anySolo ? 0.0f : pad2BaseGain, stageRampSeconds);

    const bool metronomePlays = metronomeSolo || (! anySolo && ! metronomeMute);
    if (metronomeVolumeGain != nullptr)
        metronomeVolumeGain->setGain (metronomePlays ? metronomeGain : 0.0f, stageRampSeconds);

    const bool guidePlays = guideSolo || (! anySolo && ! guideMute);
    if (cueVolumeGain != nullptr)
        cueVolumeGain->setGain (guidePlays ? guideGain : 0.0f, stageRampSeconds);

    if (countIn != nullptr)
    {
        countIn->clickGain.store (clickSourceInternal ? (metronomePlays ? metronomeGain : 0.0f) : 1.0f);
        countIn->voiceGain.store (guideSourceInternal ? (guidePlays ? guideGain : 0.0f) : 1.0f);
    }
}

//==============================================================================
bool AudioEngine::setTimeSignature (int newNumerator, int newDenominator)
{
    if (newNumerator == numerator && newDenominator == denominator)
        return false;
    if (newNumerator < 1 || newDenominator < 1)
    {
        debugLog ("[CLICK-CPP] AudioEngine::setTimeSignature ignored " + juce::String (newNumerator) + "/" + juce::String (newDenominator));
        return false;
    }
    numerator = newNumerator;
    denominator = newDenominator;
    if (metronome != nullptr)
        metronome->setTimeSignature (newNumerator, newDenominator);
    if (cue != nullptr)
        cue->setTimeSignature (newNumerator, newDenominator);
    debugLog ("[CLICK-CPP] AudioEngine::setTimeSignature " + juce::String (newNumerator) + "/" + juce::String (newDenominator));
    return true;
}

void AudioEngine::setTimeSignatureMap (const juce::var& map)
{
    std::vector<TimeSignatureMapEntry> entries;
    int dropped = 0;
    if (const auto* array = map.getArray())
        for (const auto& element : *array)
        {
            TimeSignatureMapEntry entry;
            entry.time = static_cast<double> (element.getProperty ("time", 0.0));
            entry.numerator = static_cast<int> (element.getProperty ("numerator", 0));
            entry.denominator = static_cast<int> (element.getProperty ("denominator", 0));
            if (entry.numerator < 1 || entry.denominator < 1)
                ++dropped;
            else
                entries.push_back (entry);
        }

    if (dropped > 0)
        debugLog ("[CLICK-CPP] setTimeSignatureMap dropped " + juce::String (dropped) + " entries below 1");

    auto line = "[CLICK-CPP] setTimeSignatureMap entries=" + juce::String ((int) entries.size());
    if (! entries.empty())
        line << " first=" << entries.front().numerator << "/" << entries.front().denominator << "@"
             << juce::String (entries.front().time, 3) << "s";

    if (metronome != nullptr)
        metronome->setTimeSignatureMap (entries);
    if (cue != nullptr)
        cue->setTimeSignatureMap (std::move (entries));
    debugLog (line);
}

// Writes one boolean key and saves at once (nothing without a settings file).
static void saveSettingNow (CheckedPropertiesFile* file, const char* key, bool value)
{
    if (file == nullptr)
        return;
    file->setValue (key, value);
    file->saveIfNeeded();
}

void AudioEngine::setCountInEnabled (bool enabled)
{
    countInEnabled = enabled;
    saveSettingNow (settingsFile.get(), "countInEnabled", enabled);
    juce::Logger::writeToLog ("AudioEngine: Count-in " + juce::String (enabled ? "enabled" : "disabled"));
}

void AudioEngine::setSectionAnnounceFullBar (bool enabled)
{
    sectionAnnounceFullBar = enabled;
    if (cue != nullptr)
        cue->setSectionAnnounceFullBar (enabled);
    saveSettingNow (settingsFile.get(), "sectionAnnounceFullBar", enabled);
    juce::Logger::writeToLog ("AudioEngine: Section Announce Full Bar " + juce::String (enabled ? "enabled" : "disabled"));
}

void AudioEngine::updateGuideState (bool looping, bool repeating, const juce::String& queuedSection)
{
    if (cue != nullptr)
        cue->updateGuideState (looping, repeating, queuedSection);
}

void AudioEngine::setClickAccentSuppressRanges (const juce::String& json)
{
    if (metronome == nullptr)
        return;
    const auto parsed = juce::JSON::parse (json);
    juce::var ranges;
    if (parsed.isArray()) // checked first: the framework counts an array as an object too
        ranges = parsed;
    else if (parsed.isObject())
        ranges = parsed.getProperty ("ranges", {});

    std::vector<AccentSuppressRange> list;
    if (const auto* array = ranges.getArray())
        for (const auto& element : *array)
            if (element.hasProperty ("start") && element.hasProperty ("end"))
                list.push_back ({ static_cast<double> (element["start"]), static_cast<double> (element["end"]) });

    const auto count = (int) list.size();
    metronome->setAccentSuppressRanges (std::move (list));
    juce::Logger::writeToLog ("AudioEngine: Click accent suppress ranges updated (" + juce::String (count) + ").");
}

void AudioEngine::updateSectionAnnouncementOverrides (const juce::String& json)
{
    if (cue == nullptr)
        return;
    cue->setSectionOverrides (json);
    juce::Logger::writeToLog ("AudioEngine: Section announcement overrides updated.");
}

void AudioEngine::updateCueSections (const juce::String& json)
{
    if (cue == nullptr)
        return;
    cue->setSections (json);
    juce::Logger::writeToLog ("AudioEngine: Cue sections updated at runtime.");
}

//==============================================================================
AudioEngine::MixerProbe AudioEngine::getMixerProbeForTesting() const
{
    const auto target = [] (const auto& stage) { return stage != nullptr ? stage->getRamp().getTargetValue() : -1.0f; };
    MixerProbe probe;
    probe.metronomeVolume = target (metronomeVolumeGain);
    probe.metronomeBus = target (metronomeBusGain);
    probe.guideVolume = target (cueVolumeGain);
    probe.guideBus = target (cueBusGain);
    probe.padMaster = target (padMasterGain);
    probe.padBus = target (padBusGain);
    probe.pad1 = target (pad1Gain);
    probe.pad2 = target (pad2Gain);
    probe.countInClick = countIn->clickGain.load();
    probe.countInVoice = countIn->voiceGain.load();
    probe.clickBusGain = clickBusGain;
    probe.guideBusGain = guideBusGain;
    probe.lowPassHz = padFilter->lowPassCutoff.load();
    probe.highPassHz = padFilter->highPassCutoff.load();
    probe.numerator = numerator;
    probe.denominator = denominator;
    return probe;
}

AudioEngine::LoadedTrack& AudioEngine::addTrackForTesting (const juce::String& trackId, const juce::String& instrumentType,
                                                         juce::PositionableAudioSource* source)
{
    auto track = std::make_unique<LoadedTrack>();
    track->instrumentType = instrumentType;
    track->gain = std::make_unique<SmoothedGainAudioSource> (source);
    auto& added = *track;
    tracks[trackId] = std::move (track);
    return added;
}

void AudioEngine::enablePadSlotsForTesting (float base1, float base2)
{
    if (pad1Gain == nullptr)
        pad1Gain = std::make_unique<SimpleSmoothedGainAudioSource> (&padMixer);
    if (pad2Gain == nullptr)
        pad2Gain = std::make_unique<SimpleSmoothedGainAudioSource> (&padMixer);
    pad1Enabled = pad2Enabled = true;
    pad1BaseGain = base1;
    pad2BaseGain = base2;
}

//==============================================================================
namespace
{
float dbOf (const juce::var& part, const char* key) { return static_cast<float> (part.getProperty (key, 0.0)); }
bool flagOf (const juce::var& part, const char* key) { return static_cast<bool> (part.getProperty (key, false)); }
// An object that is not an array (the framework counts arrays as objects).
bool isPlainObject (const juce::var& value) { return value.isObject() && ! value.isArray(); }

// Calls `apply` for each element of the array `list` whose `idKey` is a non-empty text.
template <typename Apply>
void forEachWithId (const juce::var& list, const char* idKey, Apply apply)
{
    if (const auto* array = list.getArray())
        for (const auto& element : *array)
            if (const auto id = element.getProperty (idKey, {}).toString(); id.isNotEmpty())
                apply (id, element);
}
} // namespace

void applyBatchMixState (MixerSetters& setters, const juce::var& message)
{
    if (const auto master = message.getProperty ("master", {}); isPlainObject (master) && master.hasProperty ("volume"))
        setters.setMasterVolume (dbOf (master, "volume"));

    forEachWithId (message.getProperty ("tracks", {}), "id", [&] (const juce::String& id, const juce::var& track)
    {
        setters.setTrackVolume (id, dbOf (track, "volume"));
        setters.setTrackMute (id, flagOf (track, "muted"));
        setters.setTrackSolo (id, flagOf (track, "soloed"));
    });

    if (const auto guide = message.getProperty ("guide", {}); isPlainObject (guide))
    {
        setters.setGuideVolume (dbOf (guide, "volume"));
        setters.setGuideMute (flagOf (guide, "muted"));
        setters.setGuideSolo (flagOf (guide, "soloed"));
    }

    if (const auto metronome = message.getProperty ("metronome", {}); isPlainObject (metronome))
    {
        setters.setMetronomeMute (flagOf (metronome, "muted"));
        setters.setMetronomeSolo (flagOf (metronome, "soloed"));
    }

    forEachWithId (message.getProperty ("seqGuideOverrides", {}), "id", [&] (const juce::String& id, const juce::var& track)
    {
        setters.setTrackVolume (id, dbOf (track, "volume"));
        setters.setTrackMute (id, flagOf (track, "muted"));
    });

    forEachWithId (message.getProperty ("buses", {}), "groupId", [&] (const juce::String& id, const juce::var& bus)
    {
        setters.setBusVolume (id, dbOf (bus, "volume"));
    });
}

void applyUpdateMetronome (MixerSetters& setters, const juce::var& message)
{
    setters.setMetronomeVolume (dbOf (message, "volume"));
    if (const auto sound = message.getProperty ("sound", {}).toString(); sound.isNotEmpty())
        setters.setMetronomeSound (sound);
    if (message.hasProperty ("accentVol"))
        setters.setMetronomeLevels (dbOf (message, "accentVol"), dbOf (message, "quarterVol"), dbOf (message, "eighthVol"),
                                    dbOf (message, "sixteenthVol"));
}
} // namespace quorvelle
