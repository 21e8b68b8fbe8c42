#include "net/cloud/LoopbackRequest.h"

namespace quorvelle::cloud
{
juce::String readRequestHead (juce::StreamingSocket& socket, const std::function<bool()>& shouldStop)
{
    juce::MemoryOutputStream received;
    char buffer[2047];
    for (int pass = 0; pass < 20; ++pass)
    {
        if (shouldStop() || ! socket.isConnected())
            break;
        const auto ready = socket.waitUntilReady (true, 200);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        const auto got = socket.read (buffer, (int) sizeof (buffer), false);
        if (got <= 0)
            break;
        received.write (buffer, (size_t) got);

        const auto text = received.toString();
        if (text.contains ("\r\n\r\n") || received.getDataSize() > 8192)
            break;
    }
    return received.toString();
}

juce::String requestTargetOf (const juce::String& request)
{
    const auto line = request.upToFirstOccurrenceOf ("\r\n", false, false);
    const auto first = line.indexOfChar (' ');
    if (first < 0)
        return {};
    const auto rest = line.substring (first + 1);
    const auto second = rest.indexOfChar (' ');
    return second < 0 ? rest : rest.substring (0, second);
}
} // namespace quorvelle::cloud
