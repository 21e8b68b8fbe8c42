#include "tests/support/AudioFixtures.h"

#include <juce_audio_formats/juce_audio_formats.h>

namespace quorvelle::test
{
juce::AudioBuffer<float> makeSine (int channels, int samples, double sampleRate, double frequency, float amplitude)
{
    juce::AudioBuffer<float> b (channels, samples);
    for (int i = 0; i < samples; ++i)
    {
        const auto v = amplitude * (float) std::sin (juce::MathConstants<double>::twoPi * frequency * i / sampleRate);
        for (int c = 0; c < channels; ++c)
            b.setSample (c, i, v);
    }
    return b;
}

juce::AudioBuffer<float> makeClickTrain (int channels, int samples, int period, int clickSamples, float amplitude)
{
    juce::AudioBuffer<float> b (channels, samples);
    b.clear();
    for (int start = 0; start < samples; start += period)
        for (int i = start; i < std::min (samples, start + clickSamples); ++i)
            for (int c = 0; c < channels; ++c)
                b.setSample (c, i, amplitude);
    return b;
}

juce::AudioBuffer<float> makeNoise (int channels, int samples, float amplitude, juce::int64 seed)
{
    juce::Random rng (seed);
    juce::AudioBuffer<float> b (channels, samples);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            b.setSample (c, i, amplitude * (rng.nextFloat() * 2.0f - 1.0f));
    return b;
}

juce::AudioBuffer<float> makeSilence (int channels, int samples)
{
    juce::AudioBuffer<float> b (channels, samples);
    b.clear();
    return b;
}

bool writeAudioFile (const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate, FixtureFormat format)
{
    std::unique_ptr<juce::AudioFormat> fmt;
    int bits = 16;
    switch (format)
    {
        case FixtureFormat::wav16:  fmt = std::make_unique<juce::WavAudioFormat>();  bits = 16; break;
        case FixtureFormat::wav24:  fmt = std::make_unique<juce::WavAudioFormat>();  bits = 24; break;
        case FixtureFormat::flac16: fmt = std::make_unique<juce::FlacAudioFormat>(); bits = 16; break;
        case FixtureFormat::flac24: fmt = std::make_unique<juce::FlacAudioFormat>(); bits = 24; break;
    }

    file.deleteFile();
    file.getParentDirectory().createDirectory();
    std::unique_ptr<juce::OutputStream> out (file.createOutputStream());
    if (out == nullptr)
        return false;

    std::unique_ptr<juce::AudioFormatWriter> writer (
        fmt->createWriterFor (out.get(), sampleRate, (unsigned int) buffer.getNumChannels(), bits, {}, 0));
    if (writer == nullptr)
        return false;
    out.release(); // the writer owns the stream now

    return writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
}

juce::AudioBuffer<float> readAudioFile (const juce::File& file, double* sampleRateOut)
{
    juce::AudioFormatManager fm;
    fm.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader (fm.createReaderFor (file));
    if (sampleRateOut != nullptr)
        *sampleRateOut = reader != nullptr ? reader->sampleRate : 0.0;
    if (reader == nullptr)
        return {};

    juce::AudioBuffer<float> b ((int) reader->numChannels, (int) reader->lengthInSamples);
    reader->read (&b, 0, (int) reader->lengthInSamples, 0, true, true);
    return b;
}

double measureFrequency (const juce::AudioBuffer<float>& buffer, int from, int n, double sampleRate, int channel)
{
    const auto* x = buffer.getReadPointer (channel);
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (int i = from + 1; i < from + n; ++i)
        if (x[i - 1] <= 0.0f && x[i] > 0.0f)
        {
            const double t = (i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0.0)
                first = t;
            else
                ++crossings;
            last = t;
        }
    return crossings > 0 ? crossings * sampleRate / (last - first) : 0.0;
}
} // namespace quorvelle::test
