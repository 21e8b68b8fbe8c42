// Reads one JSON event object per line on stdin, runs it through the event mapping and the typed
// senders, and writes each "fromNative" event the front end would receive as one JSON line. The
// peer decodes these lines with the npm FlatBuffers runtime.

#include "bridge/TypedEventMapping.h"
#include "platform/FrontEndHost.h"
#include "typedbridge/TypedBridge.h"

#include <iostream>
#include <string>

int main()
{
    quorvelle::platform::RecordingFrontEndHost host;
    quorvelle::TypedBridge bridge (&host);

    std::string line;
    while (std::getline (std::cin, line))
    {
        const auto event = juce::JSON::parse (juce::String::fromUTF8 (line.data(), (int) line.size()));
        quorvelle::sendTypedEvent (bridge, event["action"].toString(), event);
        for (const auto& e : host.events())
            std::cout << quorvelle::platform::toCompactJson (e.payload) << "\n";
        std::cout.flush();
        host.clearEvents();
    }
    return 0;
}
