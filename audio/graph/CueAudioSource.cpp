#include "audio/graph/CueAudioSource.h"

#include "audio/graph/GraphUtils.h"
#include "core/Utf8Text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>

namespace quorvelle
{
namespace
{
using Lock = juce::SpinLock::ScopedLockType;

// Appends the UTF-8 form of one code point when it fits before the terminator.
int putCodePoint (juce::juce_wchar c, char* out, int used, int size) noexcept
{
    char bytes[4];
    const auto count = core::encodeUtf8 ((uint32_t) c, bytes);
    if (used + count >= size)
        return used;
    std::memcpy (out + used, bytes, (size_t) count);
    return used + count;
}

// The section-name-to-key rule, on UTF-8 text, without allocating: lower-cased, trimmed, spaces to
// "_", then the six accented lower-case letters to their plain forms.
void normaliseSectionKey (const char* name, char* out, int size) noexcept
{
    juce::juce_wchar points[256];
    int count = 0;
    const std::string_view text (name);
    for (std::size_t pos = 0; pos < text.size() && count < 256;)
    {
        const auto c = core::decodeUtf8At (text, pos);
        points[count++] = juce::CharacterFunctions::toLowerCase ((juce::juce_wchar) c.codePoint);
        pos = c.next;
    }
    int start = 0, end = count;
    while (start < end && juce::CharacterFunctions::isWhitespace (points[start]))
        ++start;
    while (end > start && juce::CharacterFunctions::isWhitespace (points[end - 1]))
        --end;

    int used = 0;
    for (int i = start; i < end; ++i)
    {
        auto c = points[i];
        switch (c)
        {
            case ' ': c = '_'; break;
            case 0xe1: c = 'a'; break; // á
            case 0xe9: c = 'e'; break; // é
            case 0xed: c = 'i'; break; // í
            case 0xf3: c = 'o'; break; // ó
            case 0xfa: c = 'u'; break; // ú
            case 0xf1: c = 'n'; break; // ñ
            default: break;
        }
        used = putCodePoint (c, out, used, size);
    }
    out[used] = 0;
}

bool isAllDigits (const char* text) noexcept
{
    for (; *text != 0; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

juce::String describeKeysOf (const CueSampleMap& map)
{
    if (map.empty())
        return "(empty)";
    juce::StringArray quoted;
    for (const auto& entry : map)
        quoted.add ("\"" + entry.first + "\"");
    return quoted.joinIntoString (", ");
}
} // namespace

//==============================================================================
class CueAudioSource::ParkedReleaseTimer : public juce::Timer
{
public:
    explicit ParkedReleaseTimer (CueAudioSource& ownerToUse) : owner (ownerToUse) { startTimer (250); }
    ~ParkedReleaseTimer() override { stopTimer(); }
    void timerCallback() override { owner.releaseParkedBuffers(); }

private:
    CueAudioSource& owner;
};

void CueAudioSource::FixedText::set (const juce::String& value) noexcept
{
    const auto* utf8 = value.toRawUTF8();
    const auto length = core::utf8PrefixLength (utf8, std::strlen (utf8), sizeof (text) - 1);
    std::memcpy (text, utf8, length);
    text[length] = 0;
}

CueAudioSource::CueAudioSource()
{
    AudioThreadLog::shared();
    if (juce::MessageManager::existsAndIsCurrentThread())
        releaseTimer = std::make_unique<ParkedReleaseTimer> (*this);
}

CueAudioSource::~CueAudioSource()
{
    releaseTimer.reset();
}

//==============================================================================
// Voices, the queue and the parked buffers (lock held).

void CueAudioSource::park (SharedSampleBuffer& buffer) noexcept
{
    if (buffer == nullptr)
        return;
    if (parkedCount < parkCapacity)
        parked[(size_t) parkedCount++] = std::move (buffer);
    // Else the holder keeps its reference until a later release finds room: nothing is freed here.
}

void CueAudioSource::startVoice (CueVoice& voice, const SharedSampleBuffer& buffer) noexcept
{
    park (voice.buffer);
    if (voice.buffer == nullptr)
        voice.buffer = buffer; // copying a reference: no allocation
    else
        return;               // nowhere to park the old one: the voice stays as it was
    voice.playing = true;
    voice.readPosition = 0;
}

void CueAudioSource::stopVoice (CueVoice& voice) noexcept
{
    voice.playing = false;
    voice.readPosition = 0;
    park (voice.buffer);
}

void CueAudioSource::clearQueue() noexcept
{
    for (int i = 0; i < queueCount; ++i)
        park (cueQueue[(size_t) ((queueHead + i) % cueQueueCapacity)].buffer);
    queueHead = 0;
    queueCount = 0;
}

bool CueAudioSource::pushQueue (const SharedSampleBuffer& buffer, int64_t startSample) noexcept
{
    if (queueCount == cueQueueCapacity)
        return false;
    auto& slot = cueQueue[(size_t) ((queueHead + queueCount) % cueQueueCapacity)];
    park (slot.buffer);
    if (slot.buffer != nullptr)
        return false;
    slot.buffer = buffer;
    slot.startSample = startSample;
    ++queueCount;
    return true;
}

int CueAudioSource::releaseParkedBuffers()
{
    std::array<SharedSampleBuffer, parkCapacity> released;
    int count;
    {
        const Lock l (lock);
        count = parkedCount;
        for (int i = 0; i < count; ++i)
            released[(size_t) i] = std::move (parked[(size_t) i]);
        parkedCount = 0;
    }
    return count; // `released` frees them here
}

//==============================================================================
// Song data.

double CueAudioSource::barLength() const noexcept
{
    return numerator * (4.0 / denominator) * (60.0 / originalBpm);
}

double CueAudioSource::effectiveTriggerTime (const CueSection& section) const noexcept
{
    return effectiveCueTrigger (section, barLength());
}

void CueAudioSource::findNextSection()
{
    const auto t = songTime (position.load());
    sectionCursor = (int) sections.size();
    for (int i = 0; i < (int) sections.size(); ++i)
        if (effectiveTriggerTime (sections[(size_t) i]) > t)
        {
            sectionCursor = i;
            break;
        }
}

void CueAudioSource::findNextIndication()
{
    const auto t = songTime (position.load());
    markerCursor = (int) markers.size();
    for (int i = 0; i < (int) markers.size(); ++i)
        if (markers[(size_t) i].playbackPositionSec >= t - 0.05)
        {
            markerCursor = i;
            break;
        }
}

void CueAudioSource::setBpm (double newBpm)
{
    const Lock l (lock);
    if (sampleRate > 0.0 && originalBpm > 0.0 && newBpm > 0.0)
        position.store ((int64_t) std::trunc ((double) position.load() * (bpm / originalBpm) / (newBpm / originalBpm)));
    bpm = newBpm;
}

void CueAudioSource::setOriginalBpm (double newOriginalBpm)
{
    const Lock l (lock);
    originalBpm = newOriginalBpm;
}

void CueAudioSource::setTimeSignature (int newNumerator, int newDenominator)
{
    const Lock l (lock);
    numerator = newNumerator;
    denominator = newDenominator;
}

void CueAudioSource::setSectionAnnounceFullBar (bool enabled)
{
    {
        const Lock l (lock);
        announceFullBar = enabled;
        if (! enabled)
        {
            clearQueue();
            stopVoice (queuedVoice);
        }
    }
    releaseParkedBuffers();
}

void CueAudioSource::setBeatmap (std::vector<double> times)
{
    const auto count = (int) times.size();
    {
        const Lock l (lock);
        std::swap (beatTimes, times);
    }
    sourceLog.logAndSend (AudioLogLine ("[CUE-CPP] setBeatmap: ") << count << " entries");
}

void CueAudioSource::setTimeSignatureMap (std::vector<TimeSignatureMapEntry> entries)
{
    const Lock l (lock);
    std::swap (timeSignatureMap, entries);
    useTimeSignatureMap = timeSignatureMap.size() >= 2;
}

void CueAudioSource::setSections (const juce::String& json)
{
    std::vector<CueSection> parsed;
    const auto value = juce::JSON::parse (json);
    if (const auto* array = value.getArray())
        for (const auto& element : *array)
        {
            CueSection section;
            section.name = element.getProperty ("name", {}).toString();
            section.startTime = (double) element.getProperty ("startTime", 0.0);
            section.type = element.getProperty ("type", {}).toString();
            section.triggerTime = element.hasProperty ("triggerTime") ? (double) element.getProperty ("triggerTime", 0.0) : 0.0;
            parsed.push_back (section);
        }
    std::stable_sort (parsed.begin(), parsed.end(), [] (const CueSection& a, const CueSection& b) { return a.startTime < b.startTime; });
    const auto count = (int) parsed.size();
    {
        const Lock l (lock);
        std::swap (sections, parsed);
        findNextSection();
    }
    juce::Logger::writeToLog ("CueAudioSource: Sections set. Count: " + juce::String (count));
}

void CueAudioSource::setSectionOverrides (const juce::String& json)
{
    std::vector<SectionOverride> parsed;
    const auto value = juce::JSON::parse (json);
    juce::var taken;
    if (value.isObject() && ! value.isArray())
        taken = value.getProperty ("overrides", {});
    else if (value.isArray())
        taken = value;
    if (const auto* array = taken.getArray())
        for (const auto& element : *array)
        {
            if (! element.hasProperty ("sectionStartTime"))
                continue;
            parsed.push_back ({ (double) element.getProperty ("sectionStartTime", 0.0), element.getProperty ("sectionName", {}).toString(),
                                (bool) element.getProperty ("skip", false), (bool) element.getProperty ("forceFullBar", false) });
        }

    juce::String line = "[SECTION-OVERRIDES] count=" + juce::String ((int) parsed.size());
    for (const auto& o : parsed)
        line << " | \"" << o.sectionName << "\" @" << juce::String (o.sectionStartTime, 3) << "s skip=" << (o.skip ? "Y" : "N")
             << " fullBar=" << (o.forceFullBar ? "Y" : "N");
    const auto count = (int) parsed.size();
    {
        const Lock l (lock);
        std::swap (overrides, parsed);
    }
    juce::Logger::writeToLog ("[SECTION-OVERRIDES] CueAudioSource set, count=" + juce::String (count));
    if (logCallback)
        logCallback (line);
}

void CueAudioSource::setIndicationSchedule (const juce::var& schedule)
{
    std::vector<IndicationMarker> parsed;
    if (const auto* array = schedule.getArray())
        for (const auto& element : *array)
        {
            IndicationMarker marker;
            marker.markerId = element.getProperty ("markerId", {}).toString();
            marker.indicationId = element.getProperty ("indicationId", {}).toString();
            marker.playbackPositionSec = (double) element.getProperty ("playbackPositionSec", 0.0);
            const auto truncate = element.getProperty ("truncateAtSec", {});
            marker.truncateAtSec = element.hasProperty ("truncateAtSec") && ! truncate.isVoid() ? (double) truncate : -1.0;
            parsed.push_back (marker);
        }
    std::stable_sort (parsed.begin(), parsed.end(),
                      [] (const IndicationMarker& a, const IndicationMarker& b) { return a.playbackPositionSec < b.playbackPositionSec; });
    {
        const Lock l (lock);
        std::swap (markers, parsed);
        findNextIndication();
    }
}

void CueAudioSource::updateGuideState (bool isLooping, bool isRepeating, const juce::String& queuedSectionName)
{
    const Lock l (lock);
    looping = isLooping;
    repeating = isRepeating;
    queuedSection.set (queuedSectionName);
}

//==============================================================================
// Banks.

void CueAudioSource::loadCueSamples (const juce::File& cuesFolder, juce::AudioFormatManager& formats,
                                     const juce::File& assetRoot)
{
    // bankLock holds the rate still (prepareToPlay takes it too) until the bank is installed.
    const std::lock_guard<std::mutex> bank (bankLock);
    const auto rate = currentSampleRate();
    const auto files = samples::listSampleFiles (cuesFolder, "wav;mp3;m4a;flac;ogg;aiff;aif;aac");
    juce::Logger::writeToLog ("CueAudioSource: Loading samples from " + cuesFolder.getFullPathName());

    std::map<juce::String, DecodedSample> decoded;
    auto converted = std::make_shared<CueSampleMap>();
    for (const auto& file : files)
    {
        juce::AudioBuffer<float> buffer;
        double fileRate = 0.0;
        bool unreadable = false;
        if (! samples::decodeAssetFile (assetRoot, file, formats, buffer, fileRate, unreadable))
        {
            if (unreadable)
                juce::Logger::writeToLog ("CueAudioSource: cannot read " + file.getFileName());
            continue;
        }
        const auto key = samples::keyOfFile (file);
        const auto length = buffer.getNumSamples();
        auto shared = std::make_shared<const juce::AudioBuffer<float>> (std::move (buffer));
        decoded[key] = { shared, fileRate };
        (*converted)[key] = samples::convertShared (shared, fileRate, rate);
        juce::Logger::writeToLog ("CueAudioSource: Loaded " + key + " (" + juce::String (length) + " samples, " + juce::String (fileRate) + " Hz)");
    }
    juce::Logger::writeToLog ("CueAudioSource: Total samples loaded: " + juce::String ((int) decoded.size()));

    std::swap (decodedCueSamples, decoded);
    std::shared_ptr<const CueSampleMap> oldConverted;
    {
        const Lock l (lock);
        oldConverted = cueSamples.exchange (converted);
        stopVoice (sectionVoice);
        stopVoice (queuedVoice);
        clearQueue();
    }
    releaseParkedBuffers();
    // The previous maps are released here.
}

juce::String CueAudioSource::getFirstSectionNameExcept (const juce::StringArray& skipped) const
{
    const Lock l (const_cast<juce::SpinLock&> (lock));
    for (const auto& section : sections)
        if (! skipped.contains (section.name.toLowerCase().trim()))
            return section.name;
    return {};
}

double CueAudioSource::currentSampleRate() const noexcept
{
    const Lock l (const_cast<juce::SpinLock&> (lock));
    return sampleRate;
}

void CueAudioSource::installIndications (IndicationMap& next, const char* stopIfPlaying) noexcept
{
    const Lock l (lock);
    std::swap (indications, next);
    if (stopIfPlaying != nullptr && std::strcmp (stopIfPlaying, currentIndicationId.text) == 0)
        stopVoice (indicationVoice);
}

bool CueAudioSource::loadIndication (const juce::String& indicationId, const juce::File& file,
                                                  juce::AudioFormatManager& formats)
{
    std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (file));
    if (reader == nullptr)
    {
        juce::Logger::writeToLog ("Indication load FAILED (no reader): " + indicationId + " at " + file.getFullPathName());
        return false;
    }
    const auto length = (int) juce::jlimit<juce::int64> (0, std::numeric_limits<int>::max() - 64, reader->lengthInSamples);
    auto buffer = std::make_shared<juce::AudioBuffer<float>> ((int) reader->numChannels, length);
    buffer->clear();
    reader->read (buffer.get(), 0, length, 0, true, true);
    const auto fileRate = reader->sampleRate;
    reader.reset();

    SharedSampleBuffer decoded = std::move (buffer);
    {
        // The new map is built beside the one in force and swapped in whole; the old one (and a
        // replaced buffer) leave after the render's lock.
        const std::lock_guard<std::mutex> bank (bankLock);
        auto next = indications;
        next[indicationId] = samples::convertShared (decoded, fileRate, currentSampleRate());
        decodedIndications[indicationId] = { decoded, fileRate };
        installIndications (next, nullptr);
    }
    juce::Logger::writeToLog ("Indication loaded: " + indicationId + " (" + juce::String (length) + " samples, " + juce::String (fileRate) + " Hz)");
    return true;
}

void CueAudioSource::unloadIndication (const juce::String& indicationId)
{
    {
        const std::lock_guard<std::mutex> bank (bankLock);
        decodedIndications.erase (indicationId);
        auto next = indications;
        next.erase (indicationId);
        installIndications (next, indicationId.toRawUTF8());
    }
    releaseParkedBuffers();
}

void CueAudioSource::clearIndications()
{
    std::map<juce::String, DecodedSample> oldDecoded;
    IndicationMap oldConverted;
    std::vector<IndicationMarker> oldMarkers;
    {
        const std::lock_guard<std::mutex> bank (bankLock);
        std::swap (decodedIndications, oldDecoded);
        const Lock l (lock);
        std::swap (indications, oldConverted);
        std::swap (markers, oldMarkers);
        markerCursor = 0;
        stopVoice (indicationVoice);
    }
    releaseParkedBuffers();
}

void CueAudioSource::prepareToPlay (int, double rate)
{
    // Both banks are converted to the new rate before the render's lock is taken.
    const std::lock_guard<std::mutex> bank (bankLock);
    const bool rateChanges = rate != currentSampleRate();
    std::shared_ptr<const CueSampleMap> converted;
    IndicationMap convertedIndications;
    if (rateChanges)
    {
        auto rebuilt = std::make_shared<CueSampleMap>();
        if (rate > 0.0)
        {
            for (const auto& [key, sample] : decodedCueSamples)
                (*rebuilt)[key] = samples::convertShared (sample.buffer, sample.fileRate, rate);
            for (const auto& [id, sample] : decodedIndications)
                convertedIndications[id] = samples::convertShared (sample.buffer, sample.fileRate, rate);
        }
        converted = std::move (rebuilt);
    }
    {
        const Lock l (lock);
        if (rateChanges)
        {
            converted = cueSamples.exchange (converted);
            std::swap (indications, convertedIndications);
        }
        sampleRate = rate;
        position.store (0);
        stopVoice (sectionVoice);
        stopVoice (queuedVoice);
        stopVoice (indicationVoice);
        clearQueue();
        markerCursor = 0;
    }
    releaseParkedBuffers();
    juce::Logger::writeToLog ("CueAudioSource: Prepared. SR: " + juce::String (rate));
}

int64_t CueAudioSource::getMemoryUsage() const
{
    // The banks change only under bankLock; the voices and the queue are read under the render's
    // lock into a fixed list, and counted (once per buffer) after it.
    auto& self = const_cast<CueAudioSource&> (*this);
    const std::lock_guard<std::mutex> bank (self.bankLock);
    std::set<const juce::AudioBuffer<float>*> seen;
    auto add = [&] (const juce::AudioBuffer<float>* buffer) { if (buffer != nullptr) seen.insert (buffer); };
    for (const auto& entry : decodedCueSamples) add (entry.second.buffer.get());
    for (const auto& entry : decodedIndications) add (entry.second.buffer.get());
    for (const auto& entry : indications) add (entry.second.get());
    const auto converted = cueSamples.snapshot();
    for (const auto& entry : *converted) add (entry.second.get());

    // Playing buffers stay alive while counted: a buffer a voice lets go of is parked, and only the
    // message thread (this one) releases parked buffers.
    std::array<const juce::AudioBuffer<float>*, 3 + cueQueueCapacity> playing {};
    int count = 0;
    {
        const Lock l (self.lock);
        for (const auto* voice : { &sectionVoice, &queuedVoice, &indicationVoice })
            playing[(size_t) count++] = voice->buffer.get();
        for (int i = 0; i < queueCount; ++i)
            playing[(size_t) count++] = cueQueue[(size_t) ((queueHead + i) % cueQueueCapacity)].buffer.get();
    }
    for (int i = 0; i < count; ++i)
        add (playing[(size_t) i]);

    int64_t bytes = 0;
    for (const auto* buffer : seen)
        bytes += (int64_t) buffer->getNumChannels() * buffer->getNumSamples() * 4;
    return bytes;
}

juce::String CueAudioSource::describeKeys() const
{
    return describeKeysOf (*cueSamples.snapshot());
}

const SharedSampleBuffer* CueAudioSource::findKey (const CueSampleMap& map, const char* key) noexcept
{
    for (const auto& entry : map)
        if (std::strcmp (entry.first.toRawUTF8(), key) == 0)
            return &entry.second;
    return nullptr;
}

const SharedSampleBuffer* CueAudioSource::lookUpSection (const char* sectionName, char* key, int keySize,
                                                                       bool log) const noexcept
{
    // Reads the bank without a reference: the caller holds `lock`, under which every exchange happens.
    const auto& map = cueSamples.peek();
    normaliseSectionKey (sectionName, key, keySize);
    if (log)
        sourceLog.log (AudioLogLine ("[COUNT-IN] getFilenameForSection(\"") << sectionName << "\") → normalized key=\"" << key
                                                                            << "\" | cueSamples has " << (int64_t) map.size() << " entries");
    if (const auto* found = findKey (map, key))
    {
        if (log)
            sourceLog.log (AudioLogLine ("[COUNT-IN]   → exact match: \"") << key << "\"");
        return found;
    }

    const char* underscore = std::strrchr (key, '_');
    if (underscore != nullptr && underscore > key && isAllDigits (underscore + 1))
    {
        char base[256];
        const auto baseLength = (size_t) std::min<ptrdiff_t> (underscore - key, (ptrdiff_t) sizeof (base) - 1);
        std::memcpy (base, key, baseLength);
        base[baseLength] = 0;
        if (log)
            sourceLog.log (AudioLogLine ("[COUNT-IN]   → trying base without suffix: \"") << base << "\"");
        if (const auto* found = findKey (map, base))
        {
            if (log)
                sourceLog.log (AudioLogLine ("[COUNT-IN]   → base match: \"") << base << "\"");
            std::memcpy (key, base, baseLength + 1);
            return found;
        }
    }

    if (log)
    {
        AudioLogLine line ("[COUNT-IN]   → NO MATCH for \"");
        line << key << "\" — available keys: ";
        if (map.empty())
            line << "(empty)";
        bool first = true;
        for (const auto& entry : map)
        {
            line << (first ? "\"" : ", \"") << entry.first << "\"";
            first = false;
        }
        sourceLog.log (line);
    }
    return nullptr;
}

juce::String CueAudioSource::getFilenameForSection (const juce::String& sectionName) const
{
    // Callers off the audio path hold no lock: read a snapshot of the bank.
    const auto map = cueSamples.snapshot();
    char key[256];
    normaliseSectionKey (sectionName.toRawUTF8(), key, sizeof (key));
    const juce::String normalised = juce::String::fromUTF8 (key);
    juce::Logger::writeToLog ("[COUNT-IN] getFilenameForSection(\"" + sectionName + juce::String::fromUTF8 ("\") → normalized key=\"") + normalised
                              + "\" | cueSamples has " + juce::String ((int) map->size()) + " entries");
    if (map->count (normalised) > 0)
    {
        juce::Logger::writeToLog (juce::String::fromUTF8 ("[COUNT-IN]   → exact match: \"") + normalised + "\"");
        return normalised;
    }
    const auto underscore = normalised.lastIndexOfChar ('_');
    if (underscore > 0 && isAllDigits (normalised.substring (underscore + 1).toRawUTF8()))
    {
        const auto base = normalised.substring (0, underscore);
        juce::Logger::writeToLog (juce::String::fromUTF8 ("[COUNT-IN]   → trying base without suffix: \"") + base + "\"");
        if (map->count (base) > 0)
        {
            juce::Logger::writeToLog (juce::String::fromUTF8 ("[COUNT-IN]   → base match: \"") + base + "\"");
            return base;
        }
    }
    juce::Logger::writeToLog (juce::String::fromUTF8 ("[COUNT-IN]   → NO MATCH for \"") + normalised + juce::String::fromUTF8 ("\" — available keys: ") + describeKeysOf (*map));
    return {};
}

//==============================================================================
// Triggers.

bool CueAudioSource::triggerIndication (const juce::String& indicationId, const juce::String& markerId)
{
    const Lock l (lock);
    const auto found = indications.find (indicationId);
    if (found == indications.end() || found->second == nullptr)
        return false;
    startVoice (indicationVoice, found->second);
    currentIndicationId.set (indicationId);
    currentMarkerId.set (markerId);
    truncateAtSec = 0.0;
    return true;
}

bool CueAudioSource::triggerCueByName (const juce::String& sectionName)
{
    char key[256];
    const Lock l (lock);
    const auto* found = lookUpSection (sectionName.toRawUTF8(), key, sizeof (key), true);
    if (found == nullptr)
    {
        sourceLog.send (AudioLogLine ("[CLICK-WARN-LEGACY] triggerCueByName(\"") << sectionName << "\") → NO file key");
        return false;
    }
    startVoice (sectionVoice, *found);
    sourceLog.send (AudioLogLine ("[CLICK-WARN-LEGACY] triggerCueByName(\"") << sectionName << "\") fileKey=\"" << key << "\" → FIRED");
    return true;
}

bool CueAudioSource::applyStagedSongTiming() noexcept
{
    int64_t beatCount = 0, sectionCount = -1;
    const bool applied = stagedTiming.applyIfStaged ([&] (SongTimingUpdate& update)
    {
        const Lock l (lock);
        if (update.originalBpm > 0.0)
            originalBpm = update.originalBpm;
        if (update.bpm > 0.0)
            bpm = update.bpm;
        if (update.numerator > 0 && update.denominator > 0)
        {
            numerator = update.numerator;
            denominator = update.denominator;
        }
        std::swap (beatTimes, update.beatmap.beatTimes);
        if (update.replaceTimeSignatureMap)
        {
            std::swap (timeSignatureMap, update.timeSignatureMap);
            useTimeSignatureMap = timeSignatureMap.size() >= 2;
        }
        if (update.replaceSections)
        {
            std::swap (sections, update.sections);
            sectionCount = (int64_t) sections.size();
        }
        findNextSection();
        beatCount = (int64_t) beatTimes.size();
    });
    if (! applied)
        return false;
    sourceLog.logAndSend (AudioLogLine ("[CUE-CPP] setBeatmap: ") << beatCount << " entries");
    if (sectionCount >= 0)
        sourceLog.log (AudioLogLine ("CueAudioSource: Sections set. Count: ") << sectionCount);
    return true;
}

//==============================================================================
// The render (audio thread).

void CueAudioSource::setNextReadPosition (juce::int64 newPosition)
{
    const Lock l (lock);
    position.store (newPosition);
    findNextSection();
    stopVoice (sectionVoice);
    stopVoice (queuedVoice);
    clearQueue();
    stopVoice (indicationVoice);
    findNextIndication();
}

void CueAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    auto& out = *info.buffer;
    int o0 = info.startSample;
    int n = info.numSamples;
    if (! beginGuideBlock (out, o0, n, transportPlayingFlag, countInRunningFlag, pendingStartOffset))
        return;

    const auto seek = pendingSeekSeconds.exchange (-1.0);
    if (seek >= 0.0)
    {
        double rate;
        {
            const Lock l (lock);
            rate = sampleRate;
        }
        if (rate > 0.0)
            setNextReadPosition ((juce::int64) std::trunc (rate * seek));
    }

    const Lock l (lock);
    const auto p = position.load();
    if (sampleRate > 0.0 && bpm > 0.0)
    {
        scheduleCues (n);

        while (queueCount > 0)
        {
            auto& front = cueQueue[(size_t) queueHead];
            if (front.startSample >= p + n)
                break;
            if (front.startSample >= p)
                startVoice (queuedVoice, front.buffer);
            park (front.buffer);
            queueHead = (queueHead + 1) % cueQueueCapacity;
            --queueCount;
        }

        mixVoice (sectionVoice, out, o0, n);
        mixVoice (queuedVoice, out, o0, n);

        const auto blockStart = songTime (p), blockEnd = songTime (p + n);
        while (markerCursor < (int) markers.size())
        {
            const auto& m = markers[(size_t) markerCursor];
            if (m.playbackPositionSec >= blockEnd)
                break;
            if (m.playbackPositionSec >= blockStart - 0.001)
                if (const auto found = indications.find (m.indicationId); found != indications.end() && found->second != nullptr)
                {
                    startVoice (indicationVoice, found->second);
                    currentIndicationId.set (m.indicationId);
                    currentMarkerId.set (m.markerId);
                    truncateAtSec = m.truncateAtSec;
                }
            ++markerCursor;
        }

        mixIndication (out, o0, n, blockStart, blockEnd);
    }
    position.fetch_add (n);
}

void CueAudioSource::mixVoice (CueVoice& voice, juce::AudioBuffer<float>& out, int o0, int n) noexcept
{
    if (! voice.playing || voice.buffer == nullptr)
        return;
    const auto& buffer = *voice.buffer;
    const int count = juce::jmin (n, buffer.getNumSamples() - voice.readPosition);
    if (count > 0 && buffer.getNumChannels() > 0)
    {
        for (int c = 0; c < out.getNumChannels(); ++c)
            out.addFrom (c, o0, buffer, juce::jmin (c, buffer.getNumChannels() - 1), voice.readPosition, count);
        voice.readPosition += count;
    }
    if (voice.readPosition >= buffer.getNumSamples())
        stopVoice (voice);
}

void CueAudioSource::mixIndication (juce::AudioBuffer<float>& out, int o0, int n, double blockStart, double blockEnd) noexcept
{
    auto& voice = indicationVoice;
    if (! voice.playing || voice.buffer == nullptr)
        return;
    const auto& buffer = *voice.buffer;
    const int channels = buffer.getNumChannels();
    const int avail = juce::jmax (0, juce::jmin (n, buffer.getNumSamples() - voice.readPosition));
    const auto ratio = tempoRatio();

    int fadeAt = -1, cutAt = -1;
    const double fadeStart = truncateAtSec - 0.03;
    if (truncateAtSec > 0.0 && sampleRate > 0.0 && ratio > 0.0)
    {
        if (blockEnd > fadeStart)
            fadeAt = juce::jlimit (0, avail, (int) std::trunc ((fadeStart - blockStart) / ratio * sampleRate));
        if (blockEnd > truncateAtSec)
            cutAt = juce::jlimit (0, avail, (int) std::trunc ((truncateAtSec - blockStart) / ratio * sampleRate));
    }
    const int full = fadeAt >= 0 ? fadeAt : avail;
    const int used = cutAt >= 0 ? cutAt : avail;

    if (full >= 1 && channels > 0)
        for (int c = 0; c < out.getNumChannels(); ++c)
            out.addFrom (c, o0, buffer, juce::jmin (c, channels - 1), voice.readPosition, full);

    if (fadeAt >= 0 && fadeAt < used && channels > 0)
    {
        auto gainAt = [&] (int k)
        {
            const auto g = (float) (1.0 - ((blockStart + (double) k / sampleRate * ratio) - fadeStart) / 0.03);
            return juce::jlimit (0.0f, 1.0f, g);
        };
        for (int c = 0; c < out.getNumChannels(); ++c)
            out.addFromWithRamp (c, o0 + fadeAt, buffer.getReadPointer (juce::jmin (c, channels - 1), voice.readPosition + fadeAt),
                                 used - fadeAt, gainAt (fadeAt), gainAt (used));
    }

    voice.readPosition += used;
    if (cutAt >= 0 || voice.readPosition >= buffer.getNumSamples())
    {
        stopVoice (voice);
        currentIndicationId.clear();
    }
}

void CueAudioSource::scheduleCues (int numSamples)
{
    if (sectionCursor >= (int) sections.size())
        return;
    if (clickSectionActiveFlag != nullptr && clickSectionActiveFlag->load())
        return;

    const auto p = position.load();
    // The queued jump target is copied: it is cleared once spoken.
    char jumpName[sizeof (queuedSection.text)];
    std::memcpy (jumpName, queuedSection.text, sizeof (jumpName));
    const CueScheduleInput input { sections, overrides, barLength(), songTime (p), songTime (p + numSamples), jumpName, looping, repeating };

    for (;;)
    {
        const auto decision = decideCue (input, sectionCursor);
        sectionCursor = decision.cursor;
        if (decision.action == CueDecision::Action::wait)
            return;
        logCueDecision (decision, input);
        if (decision.action == CueDecision::Action::skip)
            continue;
        if (decision.path == CuePath::jump)
            queuedSection.clear();
        playCue (decision, input);
        return;
    }
}

void CueAudioSource::logCueDecision (const CueDecision& decision, const CueScheduleInput& input) const noexcept
{
    const auto* name = decision.name;
    const auto& next = sections[(size_t) decision.section];
    switch (decision.path)
    {
        case CuePath::jump: sourceLog.log (AudioLogLine ("Cue Trigger: Jump to ") << name); break;
        case CuePath::loop:
        case CuePath::repeat: sourceLog.log (AudioLogLine ("Cue Trigger: Loop/Repeat ") << name); break;
        case CuePath::normal: sourceLog.log (AudioLogLine ("Cue Trigger: Normal Next ") << name); break;
        case CuePath::unnamed: break;
    }
    // The cursor as it stood when the section was reached (it is past the section now).
    sourceLog.send (AudioLogLine ("[LOOP-AUDIT] CUE-TRIGGER path=") << cuePathWord (decision.path) << " | target=\"" << name
                    << "\" | scheduledTrigger=" << AudioLogLine().fixed (decision.trigger, 4).c_str() << "s | nextSectionStart="
                    << AudioLogLine().fixed (next.startTime, 4).c_str() << "s | nextSectionIdx=" << decision.cursor - 1
                    << " | flags loop=" << (input.looping ? "Y" : "N") << " repeat=" << (input.repeating ? "Y" : "N")
                    << " queued=" << (decision.path == CuePath::jump ? "Y" : "N"));

    if (decision.path != CuePath::normal)
        return;
    const auto* hit = decision.override;
    if (hit == nullptr)
    {
        sourceLog.send (AudioLogLine ("[CUE-OVERRIDE] MISS for \"") << name << "\" @" << AudioLogLine().fixed (next.startTime, 3).c_str()
                        << "s | overrides count=" << (int64_t) overrides.size() << " | global announceFullBar=" << (announceFullBar ? "Y" : "N"));
        return;
    }
    sourceLog.send (AudioLogLine ("[CUE-OVERRIDE] HIT for \"") << name << "\" @" << AudioLogLine().fixed (next.startTime, 3).c_str()
                    << "s skip=" << (hit->skip ? "Y" : "N") << " forceFullBar=" << (hit->forceFullBar ? "Y" : "N")
                    << " | global announceFullBar=" << (announceFullBar ? "Y" : "N"));
    if (hit->skip)
    {
        sourceLog.send (AudioLogLine ("[CUE-OVERRIDE] SKIP cue for \"") << name << "\" (per-entry skipVoiceCue ON in linear playback)");
        sourceLog.log (AudioLogLine ("Cue Skipped (per-entry override): ") << name);
    }
}

void CueAudioSource::playCue (const CueDecision& decision, const CueScheduleInput& input) noexcept
{
    const auto* name = decision.name;
    const auto& next = sections[(size_t) decision.section];
    char key[256];
    const auto* sample = lookUpSection (name, key, sizeof (key), true);
    sourceLog.log (AudioLogLine ("Cue Trigger at ").plain (input.blockEnd) << " (Target: " << AudioLogLine().plain (next.startTime).c_str() << ")");
    if (sample == nullptr)
    {
        sourceLog.log (AudioLogLine ("Cue File NOT FOUND for section: ") << name);
    }
    else
    {
        startVoice (sectionVoice, *sample);
        sourceLog.log (AudioLogLine ("Playing Cue: ") << key);
        if (logCallback && songTimeSource != nullptr && verboseDiagnostics.load())
        {
            const auto s = songTimeSource->load();
            sourceLog.send (AudioLogLine ("[SYNC-CUE] cue=\"") << name << "\" | scheduledTrigger=" << AudioLogLine().fixed (decision.trigger, 4).c_str()
                            << "s | cueOwnTime=" << AudioLogLine().fixed (input.blockStart, 4).c_str() << "s | audioMasterSrc="
                            << AudioLogLine().fixed (s, 4).c_str() << "s | cueLead=" << AudioLogLine().fixed ((s - decision.trigger) * 1000.0, 2).c_str()
                            << "ms (audio - trigger; +ve=cue late, -ve=cue early)");
        }
    }

    const bool forceFullBar = decision.override != nullptr && decision.override->forceFullBar;
    if ((announceFullBar || forceFullBar) && sampleRate > 0.0 && bpm > 0.0 && signatureAt (decision.trigger).numerator > 1)
        queueFullBar (decision.section, decision.trigger, name);
}

CueAudioSource::BarSignature CueAudioSource::signatureAt (double t) const noexcept
{
    const auto* entry = useTimeSignatureMap ? core::signatureEntryAt (timeSignatureMap, t) : nullptr;
    return entry != nullptr ? BarSignature { entry->numerator, entry->denominator } : BarSignature { numerator, denominator };
}

void CueAudioSource::queueFullBar (int, double trigger, const char* name)
{
    // The bar counted is the one the announcement starts: its signature is the one in force at the trigger.
    const auto signature = signatureAt (trigger);
    int count = signature.numerator, step = 1;
    if (signature.denominator == 8 && signature.numerator % 3 == 0 && signature.numerator > 6)
    {
        count = signature.numerator / 3;
        step = 3;
    }
    const auto& bank = cueSamples.peek();
    const auto p = position.load();
    auto numberSample = [&] (int k) -> const SharedSampleBuffer*
    {
        char digits[16];
        std::snprintf (digits, sizeof (digits), "%d", k);
        return findKey (bank, digits);
    };

    const char* pathWord = "constant-BPM";
    bool useConstant = true;
    if (! beatTimes.empty() && trigger >= 0.0)
    {
        const auto first = std::lower_bound (beatTimes.begin(), beatTimes.end(), trigger - 0.001);
        const auto j = (size_t) (first - beatTimes.begin());
        double collected[64];
        int found = 0;
        for (int m = 1; m < count && found < 64; ++m)
        {
            const auto index = j + (size_t) (m * step);
            if (index >= beatTimes.size())
                break;
            collected[found++] = beatTimes[index];
        }
        if (found == count - 1)
        {
            useConstant = false;
            pathWord = "beatmap";
            for (int k = 2; k <= count; ++k)
                if (const auto* sample = numberSample (k))
                    pushQueue (*sample, p + (int64_t) std::trunc ((collected[k - 2] - trigger) / tempoRatio() * sampleRate));
            if (logCallback)
            {
                AudioLogLine line ("[FULL-BAR] beatmap-sync ");
                line << (count - 1) << " beats after \"" << name << "\" | triggerTime=" << AudioLogLine().fixed (trigger, 4).c_str() << "s";
                for (int k = 2; k <= count; ++k)
                    line << " | beat" << k << "@" << AudioLogLine().fixed (collected[k - 2], 4).c_str() << "s";
                sourceLog.send (line);
            }
        }
        else
        {
            sourceLog.send (AudioLogLine ("[FULL-BAR] beatmap walk insuficiente (got ") << found << " want " << (count - 1)
                                                                                         << ") → fallback constant-BPM");
        }
    }
    if (useConstant)
    {
        const auto beat = (int64_t) std::trunc (4.0 / signature.denominator * 60.0 / bpm * sampleRate) * step;
        for (int k = 2; k <= count; ++k)
            if (const auto* sample = numberSample (k))
                pushQueue (*sample, p + (int64_t) (k - 1) * beat);
    }
    sourceLog.log (AudioLogLine ("[FULL-BAR] Scheduled ") << queueCount << " numeric beats after " << name << " | path=" << pathWord);
}

//==============================================================================
int CueAudioSource::getSectionCursor() const
{
    const Lock l (const_cast<juce::SpinLock&> (lock));
    return sectionCursor;
}

int CueAudioSource::getMarkerCursor() const
{
    const Lock l (const_cast<juce::SpinLock&> (lock));
    return markerCursor;
}

bool CueAudioSource::isIndicationPlaying() const
{
    const Lock l (const_cast<juce::SpinLock&> (lock));
    return indicationVoice.playing;
}

int CueAudioSource::getQueuedCueCount() const
{
    const Lock l (const_cast<juce::SpinLock&> (lock));
    return queueCount;
}

juce::String CueAudioSource::getCurrentIndicationId() const
{
    const Lock l (const_cast<juce::SpinLock&> (lock));
    return juce::String::fromUTF8 (currentIndicationId.text);
}

} // namespace quorvelle
