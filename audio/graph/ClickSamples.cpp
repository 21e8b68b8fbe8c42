#include "audio/graph/ClickSamples.h"

#include "platform/AssetFiles.h"
#include "audio/graph/MetronomeAudioSource.h"

#include <cmath>

namespace quorvelle
{
namespace samples
{
juce::String keyOfFile (const juce::File& file)
{
    auto name = file.getFileName();
    const auto dot = name.lastIndexOfChar ('.');
    if (dot > 0)
        name = name.substring (0, dot);
    return name.toLowerCase().trim();
}

juce::Array<juce::File> listSampleFiles (const juce::File& folder, const juce::String& extensions)
{
    const auto wanted = juce::StringArray::fromTokens (extensions.toLowerCase(), ";", "");
    juce::Array<juce::File> result;
    for (const auto& file : folder.findChildFiles (juce::File::findFiles, false, "*"))
        if (wanted.contains (file.getFileExtension().toLowerCase().trimCharactersAtStart (".")))
            result.add (file);
    return result;
}

std::unique_ptr<juce::AudioBuffer<float>> convertRate (const juce::AudioBuffer<float>& source, double fromRate, double toRate)
{
    const double ratio = fromRate / toRate;
    const int channels = source.getNumChannels();
    const int length = (int) std::trunc ((double) source.getNumSamples() / ratio) + 16;

    auto result = std::make_unique<juce::AudioBuffer<float>> (channels, length);
    result->clear();
    if (channels == 0)
        return result;

    juce::AudioBuffer<float> input (source); // the reader of the resampler wants a writable buffer
    juce::MemoryAudioSource memory (input, false, false);
    juce::ResamplingAudioSource resampler (&memory, false, channels);
    resampler.setResamplingRatio (ratio);
    resampler.prepareToPlay (length, toRate);
    resampler.getNextAudioBlock (juce::AudioSourceChannelInfo (result.get(), 0, length));
    resampler.releaseResources();
    return result;
}

SharedSampleBuffer convertShared (const SharedSampleBuffer& source, double fromRate, double toRate)
{
    if (source == nullptr || toRate <= 0.0 || fromRate <= 0.0 || fromRate == toRate)
        return source;
    return SharedSampleBuffer (convertRate (*source, fromRate, toRate));
}

bool decodeAssetFile (const juce::File& assetRoot, const juce::File& file, juce::AudioFormatManager& formats,
                      juce::AudioBuffer<float>& decoded, double& fileRate, bool& unreadable)
{
    unreadable = false;
    juce::MemoryBlock bytes;
    if (! loadAssetFile (assetRoot, file, bytes))
    {
        unreadable = true;
        return false;
    }

    std::unique_ptr<juce::AudioFormatReader> reader (
        formats.createReaderFor (std::make_unique<juce::MemoryInputStream> (bytes, true)));
    if (reader == nullptr)
        return false;

    const auto length = (int) juce::jlimit<juce::int64> (0, std::numeric_limits<int>::max() - 64, reader->lengthInSamples);
    decoded.setSize ((int) reader->numChannels, length);
    decoded.clear();
    reader->read (&decoded, 0, length, 0, true, true);
    fileRate = reader->sampleRate;
    return true;
}
} // namespace samples

//==============================================================================
// The click bank of the metronome.

void MetronomeAudioSource::loadClickSamples (const juce::File& clicksFolder, juce::AudioFormatManager& formats,
                                             const juce::File& assetRoot)
{
    const auto files = samples::listSampleFiles (clicksFolder, "wav;mp3;flac;ogg;aiff;aif;m4a;aac");
    juce::Logger::writeToLog ("MetronomeAudioSource: Loading click samples from " + clicksFolder.getFullPathName());

    ClickSampleMap loaded;
    for (const auto& file : files)
    {
        ClickSample sample;
        bool unreadable = false;
        if (! samples::decodeAssetFile (assetRoot, file, formats, sample.buffer, sample.sampleRate, unreadable))
        {
            if (unreadable)
                juce::Logger::writeToLog ("MetronomeAudioSource: cannot read " + file.getFileName());
            continue;
        }

        const auto key = samples::keyOfFile (file);
        const auto length = sample.buffer.getNumSamples();
        const auto rate = sample.sampleRate;
        loaded[key] = std::move (sample);
        juce::Logger::writeToLog ("MetronomeAudioSource: Loaded " + key + " (" + juce::String (length) + " samples, "
                                  + juce::String (rate, 0) + " Hz)");
    }
    juce::Logger::writeToLog ("MetronomeAudioSource: Total click samples loaded: " + juce::String ((int) loaded.size()));

    // Convert and select outside the render's lock, at the rate in force; prepareToPlay takes
    // bankLock too, so the rate cannot change before the result is installed.
    const std::lock_guard<std::mutex> bank (bankLock);
    clickSamples.swap (loaded);
    double rate = 0.0;
    {
        const juce::SpinLock::ScopedLockType lock (stateLock);
        rate = sampleRate;
    }
    auto prepared = prepareClicks (rate);
    {
        const juce::SpinLock::ScopedLockType lock (stateLock);
        installClicks (prepared);
    }
    // The previous bank and its conversion are freed here, on the loader thread.
}

ResampledClickMap MetronomeAudioSource::convertClickSamples (const ClickSampleMap& bank, double rate)
{
    ResampledClickMap result;
    if (rate <= 0.0)
        return result;

    for (const auto& [key, sample] : bank)
    {
        if (sample.sampleRate == rate || sample.sampleRate <= 0.0)
            result[key] = std::make_shared<const juce::AudioBuffer<float>> (sample.buffer);
        else
            result[key] = SharedSampleBuffer (samples::convertRate (sample.buffer, sample.sampleRate, rate));
    }
    return result;
}

MetronomeAudioSource::PreparedClicks MetronomeAudioSource::prepareClicks (double rate) const
{
    PreparedClicks prepared;
    prepared.converted = convertClickSamples (clickSamples, rate);
    if (rate > 0.0)
        prepared.selected = pickClicks (prepared.converted, sound);
    return prepared;
}

MetronomeAudioSource::ClickPair MetronomeAudioSource::pickClicks (const ResampledClickMap& converted, const juce::String& sound)
{
    const bool standard = sound == "estandar";
    const juce::String highKey = standard ? juce::String ("clic_high") : "clic_" + sound + "_high";
    const juce::String lowKey = standard ? juce::String ("clic_low") : "clic_" + sound + "_low";

    const auto high = converted.find (highKey);
    const auto low = converted.find (lowKey);
    ClickPair pair { high != converted.end() ? high->second : nullptr, low != converted.end() ? low->second : nullptr };

    if (pair.high == nullptr)
        juce::Logger::writeToLog ("MetronomeAudioSource: WARNING - Could not find samples for sound: " + sound);
    return pair;
}

void MetronomeAudioSource::installClicks (PreparedClicks& prepared) noexcept
{
    resampledClicks.swap (prepared.converted);
    std::swap (highClick, prepared.selected.high);
    std::swap (lowClick, prepared.selected.low);
}

void MetronomeAudioSource::setSound (const juce::String& name)
{
    const std::lock_guard<std::mutex> bank (bankLock);
    sound = name.toLowerCase();
    PreparedClicks prepared { {}, pickClicks (resampledClicks, sound) };
    {
        const juce::SpinLock::ScopedLockType lock (stateLock);
        std::swap (highClick, prepared.selected.high);
        std::swap (lowClick, prepared.selected.low);
    }
}

MetronomeAudioSource::ClickPair MetronomeAudioSource::getSelectedClicks() const
{
    const juce::SpinLock::ScopedLockType lock (stateLock);
    return { highClick, lowClick };
}
} // namespace quorvelle
