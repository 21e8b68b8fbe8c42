#include "audio/loading/Mp3FileWriter.h"

#include <lame/lame.h>

namespace quorvelle
{
namespace
{
constexpr int encodeBufferBytes = 65536;
constexpr int mpeg2MaxKbps = 160;

// MPEG audio defines 32, 44.1 and 48 kHz (and half and quarter rates); above 48 kHz LAME would
// refuse the rate, so the encoder resamples to the defined rate of the same family.
int encodedRateFor (int inputRate)
{
    if (inputRate <= 48000)
        return inputRate;
    return inputRate % 44100 == 0 ? 44100 : 48000;
}
} // namespace

Mp3FileWriter::Mp3FileWriter (const juce::File& file, double sampleRate, int numChannels, int kbps)
{
    replacement = std::make_unique<platform::CheckedReplacement> (file);
    if (! replacement->isOpen())
        return;
    stream = replacement->createStream();

    encoder = lame_init();
    if (encoder == nullptr)
    {
        abandon();
        return;
    }

    const auto rate = (int) sampleRate;
    const auto encodedRate = encodedRateFor (rate);
    lame_set_in_samplerate (encoder, rate);
    lame_set_num_channels (encoder, numChannels);
    lame_set_out_samplerate (encoder, encodedRate);
    lame_set_brate (encoder, encodedRate < 32000 ? juce::jmin (kbps, mpeg2MaxKbps) : kbps);
    lame_set_mode (encoder, STEREO);
    lame_set_quality (encoder, 2);
    lame_set_VBR (encoder, vbr_off);

    if (lame_init_params (encoder) < 0)
    {
        abandon();
        return;
    }

    outputRate = lame_get_out_samplerate (encoder);
    encodeBuffer.assign ((size_t) encodeBufferBytes, 0);
}

Mp3FileWriter::~Mp3FileWriter()
{
    if (! finished)
        abandon();
}

bool Mp3FileWriter::write (const float* left, const float* right, int numSamples)
{
    if (! isOpen() || numSamples <= 0)
        return false;

    const auto n = lame_encode_buffer_ieee_float (encoder, left, right, numSamples, encodeBuffer.data(), encodeBufferBytes);
    if (n < 0)
        return false;
    if (n == 0)
        return true;
    return stream->write (encodeBuffer.data(), (size_t) n);
}

bool Mp3FileWriter::finish()
{
    if (finished)
        return finishedOk;
    if (! isOpen())
    {
        abandon();
        return false;
    }
    finished = true;

    bool ok = true;
    const auto tail = lame_encode_flush (encoder, encodeBuffer.data(), encodeBufferBytes);
    if (tail < 0 || (tail > 0 && ! stream->write (encodeBuffer.data(), (size_t) tail)))
        ok = false;

    // The first frame was written blank; the tag frame carries the delay and padding.
    const auto tagBytes = lame_get_lametag_frame (encoder, encodeBuffer.data(), encodeBuffer.size());
    if (ok && tagBytes > 0 && tagBytes <= encodeBuffer.size())
        ok = stream->setPosition (0) && stream->write (encodeBuffer.data(), tagBytes);

    closeEncoder();
    stream.reset();
    finishedOk = ok && replacement->commit();
    if (! finishedOk)
        replacement->abandon();
    return finishedOk;
}

void Mp3FileWriter::abandon()
{
    closeEncoder();
    stream.reset();
    if (replacement != nullptr)
        replacement->abandon();
    finished = true;
}

juce::String Mp3FileWriter::getErrorText() const
{
    return replacement != nullptr ? replacement->errorText() : juce::String();
}

void Mp3FileWriter::closeEncoder()
{
    if (encoder != nullptr)
        lame_close (encoder);
    encoder = nullptr;
}
} // namespace quorvelle
