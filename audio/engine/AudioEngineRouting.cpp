// Which bus each track feeds, which device outputs each bus and direct source reaches, and the
// split monitor.
#include "audio/engine/AudioEngine.h"

#include <cmath>

namespace quorvelle
{
namespace
{
// Instrument types (folded) to bus; anything else goes to "aux".
const std::map<juce::String, juce::String>& instrumentBusTable()
{
    static const std::map<juce::String, juce::String> table = []
    {
        // Bus, then its instrument types separated by spaces.
        const std::pair<const char*, const char*> rows[] = {
            { "click", "CLICK" },
            { "guide", "CUES" },
            { "drums", "DRUMS" },
            { "percussion", "PERC CAJON CONGAS BONGOS DJEMBE TIMBALES TAMBOURINE SHAKER COWBELL GUIRO CLAPS SNAPS STOMPS SLEIGH_BELLS JANGGU BEATBOX" },
            { "loops", "LOOP" },
            { "bass", "BASS SYNTH_BASS DOUBLE_BASS" },
            { "piano", "PIANO" },
            { "keys", "KEYS SYNTH ORGAN RHODES EPIANO CLAVINET MELLOTRON ARP" },
            { "electric_gtr", "GUITAR_EL LAP_STEEL" },
            { "acoustic_gtr", "GUITAR_AC DOBRO" },
            { "strings", "STRINGS VIOLIN CELLO HARP VIOLA ORCHESTRA" },
            { "brass", "HORNS TRUMPET SAXOPHONE FLUTE WOODWINDS TROMBONE TUBA FRENCH_HORN CLARINET OBOE BAGPIPES" },
            { "pad", "PAD" },
            { "vocals", "VOCALS BGV CHOIR VOCAL_FX BGV_FX VOX_CHOP VOCODER VOCAL_LOOP SOPRANO ALTO TENOR BARITONE OOHS KIDS SPOKEN_WORD" },
            { "fx", "FX" },
        };
        std::map<juce::String, juce::String> map;
        for (const auto& [bus, types] : rows)
            for (const auto& type : juce::StringArray::fromTokens (types, " ", ""))
                map.emplace (type, bus);
        return map;
    }();
    return table;
}

// The highest output channel a route may name; beyond it the route is refused.
constexpr double maxRouteChannel = 1023.0;

struct RouteEntry
{
    juce::String name;
    int first = 0;
    bool stereo = true;
};

struct RoutePair
{
    int first = 0;
    bool stereo = true;
};
} // namespace

juce::String AudioEngine::getBusForInstrument (const juce::String& instrumentType) const
{
    auto folded = instrumentType;
    if (folded.startsWith ("GUITAR_EL_"))
        folded = "GUITAR_EL";
    else if (folded.startsWith ("KEYS_"))
        folded = "KEYS";

    if (const auto o = channelOverrides.find (folded); o != channelOverrides.end())
        return o->second;

    const auto& table = instrumentBusTable();
    const auto row = table.find (folded);
    return row != table.end() ? row->second : juce::String ("aux");
}

juce::String AudioEngine::resolveTrackBus (const juce::String& busOverride, const juce::String& instrumentType) const
{
    if (busOverride.isNotEmpty() && busCategoryNames().contains (busOverride, false))
        return busOverride;
    return getBusForInstrument (instrumentType);
}

// The track's tap joins the mixer of its bus, or of "aux" when no group has that name. The
// mixer takes the change under its own spin lock, so this is safe while the song plays.
void AudioEngine::attachTrackToBus (LoadedTrack& track)
{
    if (track.tap == nullptr)
        return;
    auto* bus = getGroupBus (resolveTrackBus (track.busOverride, track.instrumentType));
    if (bus == nullptr)
        bus = getGroupBus ("aux");
    if (bus != nullptr)
        bus->mixer.addInputSource (track.tap.get());
}

void AudioEngine::addLoadedTrackForTesting (const juce::String& id, std::unique_ptr<LoadedTrack> track)
{
    attachTrackToBus (*track);
    tracks[id] = std::move (track);
}

void AudioEngine::setChannelOverrides (const juce::var& overrides)
{
    channelOverrides.clear();
    if (auto* object = overrides.getDynamicObject())
        for (const auto& property : object->getProperties())
            channelOverrides[property.name.toString()] = property.value.toString();

    juce::Logger::writeToLog ("AudioEngine: Channel overrides updated (" + juce::String ((int) channelOverrides.size()) + " overrides)");

    if (tracks.empty())
        return;

    for (auto& [name, bus] : groupBuses)
        bus->clearTracks();
    for (auto& [id, track] : tracks) // std::map: track id order
        attachTrackToBus (*track);

    debugLog ("AudioEngine: Tracks re-routed after channel override change");
}

void AudioEngine::setBusRouting (const juce::var& routing)
{
    auto* object = routing.getDynamicObject();
    if (router == nullptr || object == nullptr)
        return;

    const auto refuse = [this] (const juce::String& logLine, const juce::String& error)
    {
        debugLog (logLine);
        sendAudioConfigError ("setBusRouting", error);
    };

    // Every channel a route names must be a whole, finite number in 0..1023; one that is not refuses
    // the whole routing, so no negative or overflowing channel ever reaches the router.
    const auto checkChannel = [] (const juce::var& value) { return value.isInt() || value.isInt64() || value.isDouble(); };

    int neededOutputs = 1;
    RoutePair click, guide, pad;
    std::vector<RouteEntry> entries;

    for (const auto& property : object->getProperties())
    {
        const auto name = property.name.toString();
        const auto& value = property.value;
        const bool mono = value.isObject() && value.getProperty ("mode", {}).toString() == "MONO";
        const auto* channels = value.isObject() ? value.getProperty ("channels", {}).getArray() : nullptr;

        double channelValues[2] = { 0.0, -1.0 };
        // A mono route reads only its first channel.
        const int listed = channels != nullptr ? juce::jmin (mono ? 1 : 2, channels->size()) : 0;
        for (int i = 0; i < listed; ++i)
        {
            const auto& channel = channels->getReference (i);
            const double v = checkChannel (channel) ? (double) channel : std::numeric_limits<double>::quiet_NaN();
            if (! std::isfinite (v) || v < 0.0 || v > maxRouteChannel)
            {
                const auto shown = channel.isDouble() ? juce::String (v) : channel.toString();
                refuse ("[CFG-FIX] setBusRouting REJECTED: invalid channel " + shown + " in " + name,
                        juce::String (juce::CharPointer_UTF8 ("Routing inv\xc3\xa1lido: canal ")) + shown + " en " + name);
                return;
            }
            channelValues[i] = v;
        }

        const int first = (int) channelValues[0];
        // A stereo route plays on first and first + 1; a listed second channel may ask for more.
        int needed = mono ? first + 1 : first + 2;
        if (! mono && listed >= 2)
            needed = juce::jmax (needed, (int) channelValues[1] + 1);
        neededOutputs = juce::jmax (neededOutputs, needed);

        entries.push_back ({ name, first, ! mono });
        if (name == "click")
            click = { first, ! mono };
        else if (name == "guide")
            guide = { first, ! mono };
        else if (name == "pad")
            pad = { first, ! mono };
    }

    auto* device = deviceManager.getCurrentAudioDevice();
    const int available = device != nullptr ? device->getOutputChannelNames().size() : 2;

    if (available < neededOutputs)
    {
        refuse ("[CFG-FIX] setBusRouting REJECTED: needs " + juce::String (neededOutputs) + " channels, device has " + juce::String (available),
                "Routing requiere " + juce::String (neededOutputs) + " canales pero el dispositivo solo tiene " + juce::String (available));
        return;
    }

    const bool reinit = neededOutputs > 2 && device != nullptr;
    debugLog ("[BUS-ROUTING] maxChannelNeeded=" + juce::String (neededOutputs) + " | availableChannels=" + juce::String (available)
              + " | willTriggerReinit=" + (reinit ? "Y" : "N"));

    if (reinit)
    {
        ensureOutputChannels (neededOutputs);
        // The new routes render on the outputs just opened from the next block on, not only once
        // the manager's notification arrives.
        if (auto* reopened = deviceManager.getCurrentAudioDevice())
            router->setDeviceOutputChannels (reopened->getActiveOutputChannels().countNumberOfSetBits());
    }

    for (const auto& entry : entries)
    {
        router->setRouting (entry.name, entry.first, entry.stereo);
        if (auto* bus = getGroupBus (entry.name))
        {
            const juce::SpinLock::ScopedLockType sl (bus->routeLock);
            bus->firstChannel = entry.first;
            bus->stereo = entry.stereo;
        }
    }

    router->setRouting ("metronomeTap", click.first, click.stereo);
    router->setRouting ("countIn", click.first, click.stereo);
    router->setRouting ("cueTap", guide.first, guide.stereo);
    router->setRouting ("pads", pad.first, pad.stereo);

    debugLog ("AudioEngine: Bus routing updated (16 groups). Max channel: " + juce::String (neededOutputs));
}

void AudioEngine::setSplitMonitor (bool enabled)
{
    debugLog ("[SPLIT-MON] setSplitMonitor(" + juce::String (enabled ? "ON" : "OFF") + ") ENTER | currentSongId=" + songIdForLog()
              + " | masterTransportPlaying=" + (songTransportPlaying() ? "Y" : "N"));

    if (splitRouter != nullptr)
        splitRouter->splitActive.exchange (enabled);
    if (router != nullptr)
        router->splitMonitor.exchange (enabled);

    debugLog ("AudioEngine: Split Monitor " + juce::String (enabled ? "ON" : "OFF"));
}
} // namespace quorvelle
