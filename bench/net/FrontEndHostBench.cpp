// Front-end hosts compared in one run (run it through scripts/test-launcher.sh): events of about
// 100 KB each reaching a page on the loopback host (a WebSocket page client), against the same
// events on the stdio host's stdout. Each event answers one CORE_INVOKE whose unknown 100 KB method
// name comes back in the error text, so every event is one request's round trip.
#include "tests/app/LoopbackProgram.h"

#include "platform/FrontEndHost.h"

#include <juce_events/juce_events.h>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <cstdio>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
constexpr int numEvents = 300;
const std::string bigMethod (100 * 1024, 'm');

double nowMs()
{
    return juce::Time::getMillisecondCounterHiRes();
}

juce::var request (int i)
{
    return makeObject ({ { "action", "CORE_INVOKE" }, { "id", juce::String (i) }, { "method", juce::String (bigMethod) }, { "payloadJson", "{}" } });
}

double stdioRate()
{
    ProgramProcess program;
    program.send (makeObject ({ { "action", "TEST_CONNECTION" } }));
    program.waitForEvent ([] (const juce::var& v) { return v.getProperty ("status", {}).toString() == "CONNECTED"; }, 45000);
    const auto from = program.lines().size();
    const auto started = nowMs();
    for (int i = 0; i < numEvents; ++i)
        program.send (request (i));
    const auto last = program.waitForEvent ([] (const juce::var& v) { return v.getProperty ("id", {}).toString() == juce::String (numEvents - 1); }, 120000, from);
    return last ? numEvents / (nowMs() - started) * 1000.0 : 0.0;
}

double loopbackRate()
{
    LoopbackProgram program;
    const auto headers = program.cookieHeader() + "Origin: " + program.origin() + "\r\n";
    WsTestClient page;
    if (program.openPage (page, headers) != 101)
    {
        std::fprintf (stderr, "the page could not connect: %s\n%s\n", page.responseHead.c_str(), program.process.stderrText().c_str());
        return 0.0;
    }
    const auto envelope = [] (const juce::var& payload) { return platform::toCompactJson (makeObject ({ { "eventId", "toNative" }, { "payload", payload } })); };
    page.send (envelope (makeObject ({ { "action", "TEST_CONNECTION" } })));
    while (auto text = page.nextText (45000))
        if (text->find ("CONNECTED") != std::string::npos)
            break;

    // The writer uses the descriptor directly: JUCE's socket calls take a try-lock that a second
    // thread on the same socket would make fail.
    const auto fd = page.socket->getRawSocketHandle();
    const auto started = nowMs();
    std::thread writer ([&] {
        static const uint8_t mask[4] = { 1, 2, 3, 4 };
        for (int i = 0; i < numEvents; ++i)
        {
            const auto frame = platform::wire::encodeFrame (platform::wire::opcode::text, envelope (request (i)), mask);
            for (size_t sent = 0; sent < frame.size();)
            {
                const auto n = ::send (fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
                if (n > 0)
                    sent += (size_t) n;
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    return;
                else
                {
                    pollfd writable { fd, POLLOUT, 0 };
                    ::poll (&writable, 1, 100);
                }
            }
        }
    });
    int received = 0;
    while (received < numEvents)
    {
        const auto text = page.nextText (120000);
        if (! text)
            break;
        if (text->find ("CORE_INVOKE_RESPONSE") != std::string::npos)
            ++received;
    }
    const auto elapsed = nowMs() - started;
    writer.join();
    if (received != numEvents)
        std::fprintf (stderr, "only %d of %d answers arrived\n", received, numEvents);
    return received == numEvents ? numEvents / elapsed * 1000.0 : 0.0;
}
} // namespace

int main()
{
    std::signal (SIGPIPE, SIG_IGN);
    juce::ScopedJuceInitialiser_GUI juce;
    const auto stdio = stdioRate();
    const auto loopback = loopbackRate();
    std::printf ("== Front-end hosts: %d events of about 100 KB, each one request's answer\n", numEvents);
    std::printf ("stdio host (stdout)        %8.1f events/s\n", stdio);
    std::printf ("loopback host (WebSocket)  %8.1f events/s\n", loopback);
    std::printf ("ratio (loopback / stdio)   %8.2f\n", loopback / std::max (0.001, stdio));
    return 0;
}
