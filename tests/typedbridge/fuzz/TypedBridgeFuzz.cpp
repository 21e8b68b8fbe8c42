// Fuzzes TypedBridge::dispatchBase64 with the real handlers. The input bytes are Base64-encoded
// first, so that nearly every input reaches the verifier and, when it passes, the slots; the
// rebuilt requests go to a recording sink (which also serialises them, so every value is read).

#include "typedbridge/TypedBridge.h"
#include "typedbridge/TypedHandlers.h"

#include <cstddef>
#include <cstdint>

namespace
{
// Swallows log lines so the fuzzer's output stays readable.
struct QuietLogger final : juce::Logger
{
    void logMessage (const juce::String&) override {}
};

struct Harness
{
    QuietLogger logger;
    quorvelle::TypedBridge bridge { nullptr };
    size_t requests = 0, bytes = 0;

    Harness()
    {
        juce::Logger::setCurrentLogger (&logger);
        quorvelle::installTypedHandlers (bridge,
                                         [this] (const juce::var& r)
                                         {
                                             ++requests;
                                             bytes += (size_t) juce::JSON::toString (r, true).getNumBytesAsUTF8();
                                         },
                                         [this] (const juce::String& line) { bytes += (size_t) line.length(); });
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static Harness harness;
    const auto text = juce::Base64::toBase64 (data, size).toStdString();
    harness.bridge.dispatchBase64 (text);
    return 0;
}
