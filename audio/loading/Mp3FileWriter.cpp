#include "audio/loading/Mp3FileWriter.h"

#include <lame/lame.h>

namespace quorvelle
{
namespace
{
constexpr int encodeBufferBytes = 65536;
constexpr size_t streamBufferBytes = 32768;
} // namespace

Mp3FileWriter::Mp3FileWriter (const juce::File& file, double sampleRate, int numChannels, int kbps)
{
    if (file.existsAsFile())
        file.deleteFile();

    stream = std::make_unique<juce::FileOutputStream> (file, streamBufferBytes);
    if (stream->failedToOpen() || stream->getStatus().failed())
    {
        stream.reset();
        return;
    }

    encoder = lame_init();
    if (encoder == nullptr)
    {
        stream.reset();
        return;
    }

    const auto rate = (int) sampleRate;
    lame_set_in_samplerate (encoder, rate);
    lame_set_num_channels (encoder, numChannels);
    lame_set_out_samplerate (encoder, rate); // an MPEG-undefined rate is refused here; lame_init_params decides
    lame_set_brate (encoder, kbps);
    lame_set_mode (encoder, STEREO);
    lame_set_quality (encoder, 2);
    lame_set_VBR (encoder, vbr_off);

    if (lame_init_params (encoder) < 0)
    {
        lame_close (encoder);
        encoder = nullptr;
        stream.reset();
        return;
    }

    encodeBuffer.assign ((size_t) encodeBufferBytes, 0);
}

Mp3FileWriter::~Mp3FileWriter()
{
    finish();
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

void Mp3FileWriter::finish()
{
    if (encoder != nullptr)
    {
        const auto n = lame_encode_flush (encoder, encodeBuffer.data(), encodeBufferBytes);
        if (n > 0 && stream != nullptr)
            stream->write (encodeBuffer.data(), (size_t) n);
        lame_close (encoder);
        encoder = nullptr;
    }

    if (stream != nullptr)
    {
        stream->flush();
        stream.reset();
    }
}
} // namespace quorvelle
