// Session server figures, against reference peers in the same run. Run it through
// scripts/test-launcher.sh (its own network namespace, loopback only):
//   scripts/test-launcher.sh build/bench/net_session_bench
// - fan-out: 16 devices, 1,000 SECTION broadcasts of 4 KB written to the program's stdin; latency
//   from the stdin write to receipt (p50, p99) and throughput, also with a 17th device that never
//   reads; the same devices against a Node ws server fed the same lines;
// - HTTP: requests per second at concurrency 4 for the built-in page and a dist asset, against
//   python3 -m http.server on the same files; refusals at concurrency 8.
#include "platform/Opener.h"
#include "tests/app/ProgramProcess.h"
#include "tests/app/TypedSessionEvents.h"
#include "tests/support/LoopbackClients.h"

#include <juce_events/juce_events.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
constexpr int numDevices = 16, numBroadcasts = 1000;

double nowMs()
{
    return juce::Time::getMillisecondCounterHiRes();
}

std::string payloadText (int seq)
{
    return "{\"seq\":" + std::to_string (seq) + ",\"pad\":\"" + std::string (4000, 'x') + "\"}";
}

int seqOf (const std::string& text)
{
    const auto at = text.find ("\"seq\"");
    if (at == std::string::npos)
        return -1;
    return std::atoi (text.c_str() + text.find (':', at) + 1);
}

double percentile (std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort (values.begin(), values.end());
    return values[std::min (values.size() - 1, (size_t) (p * (double) values.size()))];
}

struct FanOut
{
    double p50 = 0, p99 = 0, messagesPerSecond = 0;
    int delivered = 0;
};

// Sends every broadcast through `send` (paced, or at once) and times each device's receipts.
FanOut measure (std::vector<std::unique_ptr<WsTestClient>>& devices, const std::function<void (int)>& send, int paceMicros)
{
    std::vector<double> sentAt (numBroadcasts, 0.0);
    std::vector<std::vector<double>> receivedAt (devices.size(), std::vector<double> (numBroadcasts, 0.0));
    std::vector<std::thread> readers;
    for (size_t d = 0; d < devices.size(); ++d)
        readers.emplace_back ([&, d]
        {
            // Ends once every broadcast arrived or none came for 3 s (heartbeats do not count).
            auto quietUntil = nowMs() + 3000.0;
            for (int count = 0; count < numBroadcasts && nowMs() < quietUntil;)
            {
                const auto text = devices[d]->nextText ((int) std::max (1.0, quietUntil - nowMs()), false);
                if (! text)
                    return;
                if (seqOf (*text) >= 0)
                    quietUntil = nowMs() + 3000.0;
                const auto seq = seqOf (*text);
                if (seq >= 0 && seq < numBroadcasts)
                {
                    receivedAt[d][(size_t) seq] = nowMs();
                    ++count;
                }
            }
        });

    for (int seq = 0; seq < numBroadcasts; ++seq)
    {
        sentAt[(size_t) seq] = nowMs();
        send (seq);
        if (paceMicros > 0)
            std::this_thread::sleep_for (std::chrono::microseconds (paceMicros));
    }
    for (auto& r : readers)
        r.join();

    FanOut result;
    std::vector<double> latencies;
    double lastReceipt = sentAt[0];
    for (const auto& device : receivedAt)
        for (size_t seq = 0; seq < device.size(); ++seq)
            if (device[seq] > 0)
            {
                latencies.push_back (device[seq] - sentAt[seq]);
                lastReceipt = std::max (lastReceipt, device[seq]);
            }
    result.delivered = (int) latencies.size();
    result.p50 = percentile (latencies, 0.50);
    result.p99 = percentile (latencies, 0.99);
    result.messagesPerSecond = result.delivered / std::max (1.0, lastReceipt - sentAt[0]) * 1000.0;
    return result;
}

void print (const char* label, const FanOut& r)
{
    std::printf ("%-44s p50 %7.2f ms  p99 %7.2f ms  %9.0f msg/s  delivered %d of %d\n", label, r.p50, r.p99, r.messagesPerSecond, r.delivered,
                 numDevices * numBroadcasts);
}

// The program with its session server on `port`; devices join and are admitted.
struct ProgramServer
{
    ProgramServer() : program ({ "--bridge-stdio" })
    {
        program.send (makeObject ({ { "action", "SESSION_START_SERVER" } }));
        if (const auto status = waitFor ("SESSION_SERVER_STATUS"))
        {
            port = (int) status->getProperty ("port", {});
            code = status->getProperty ("token", {}).toString().toStdString();
        }
    }

    std::optional<juce::var> waitFor (const juce::String& action)
    {
        const auto index = program.waitForEvent ([&] (const juce::var& line)
        {
            const auto event = typedSessionEvent (line);
            return event && event->getProperty ("action", {}).toString() == action;
        }, 45000, from);
        if (! index)
            return std::nullopt;
        from = *index + 1;
        return typedSessionEvent (program.events()[*index]);
    }

    std::unique_ptr<WsTestClient> join()
    {
        auto device = std::make_unique<WsTestClient>();
        device->open (port, "/?token=" + code);
        device->send (R"({"type":"IDENTIFY","name":"bench"})");
        if (const auto request = waitFor ("SESSION_CLIENT_REQUEST"))
            program.send (makeObject ({ { "action", "SESSION_APPROVE_CLIENT" }, { "clientId", request->getProperty ("clientId", {}) }, { "approved", true } }));
        device->nextText(); // APPROVED
        return device;
    }

    void broadcast (int seq)
    {
        program.send ("{\"action\":\"SESSION_BROADCAST_SECTION\",\"payload\":" + payloadText (seq) + "}");
    }

    ProgramProcess program;
    size_t from = 0;
    int port = 0;
    std::string code;
};

juce::File sourceRoot()
{
    const char* root = std::getenv ("QUORVELLE_SOURCE_DIR"); // set by the test launcher
    return juce::File (juce::String (root != nullptr ? root : "."));
}

void fanOutFigures()
{
    std::printf ("== Fan-out: %d devices, %d SECTION broadcasts of 4 KB\n", numDevices, numBroadcasts);
    FanOut ours, oursBurst, oursStalled, node, nodeBurst;
    {
        ProgramServer server;
        std::vector<std::unique_ptr<WsTestClient>> devices;
        for (int i = 0; i < numDevices; ++i)
            devices.push_back (server.join());
        ours = measure (devices, [&] (int seq) { server.broadcast (seq); }, 5000);
        oursBurst = measure (devices, [&] (int seq) { server.broadcast (seq); }, 0);
        auto stalled = server.join(); // admitted, and never reads again
        oursStalled = measure (devices, [&] (int seq) { server.broadcast (seq); }, 5000);
    }
    {
        const auto nodeProgram = platform::findExecutableInPath ("node");
        ProgramProcess peer ({ sourceRoot().getChildFile ("bench/net/peer/fanout-server.ws.js").getFullPathName().toStdString() },
                             nodeProgram.getFullPathName().toStdString());
        const auto index = peer.waitForEvent ([] (const juce::var& v) { return v.hasProperty ("port"); }, 20000);
        const auto port = index ? (int) peer.events()[*index].getProperty ("port", 0) : 0;
        std::vector<std::unique_ptr<WsTestClient>> devices;
        for (int i = 0; i < numDevices; ++i)
        {
            devices.push_back (std::make_unique<WsTestClient>());
            devices.back()->open (port, "/");
        }
        node = measure (devices, [&] (int seq) { peer.send (payloadText (seq)); }, 5000);
        nodeBurst = measure (devices, [&] (int seq) { peer.send (payloadText (seq)); }, 0);
    }
    print ("program, paced 5 ms", ours);
    print ("program, paced 5 ms, one device stalled", oursStalled);
    print ("Node ws, paced 5 ms", node);
    print ("program, burst", oursBurst);
    print ("Node ws, burst", nodeBurst);
    std::printf ("throughput ratio (program / Node), burst: %.2f\n", oursBurst.messagesPerSecond / std::max (1.0, nodeBurst.messagesPerSecond));
}

// Requests per second for `target` at `concurrency`, with a fresh connection per request.
std::pair<double, int> requestRate (int port, const std::string& target, int concurrency, double seconds)
{
    std::atomic<int> answered { 0 }, refused { 0 };
    const auto until = nowMs() + seconds * 1000.0;
    std::vector<std::thread> workers;
    for (int i = 0; i < concurrency; ++i)
        workers.emplace_back ([&]
        {
            while (nowMs() < until)
            {
                const auto answer = httpExchange (port, getRequest (target));
                ++(answer.rfind ("HTTP/1.", 0) == 0 ? answered : refused);
            }
        });
    for (auto& w : workers)
        w.join();
    return { answered / seconds, refused.load() };
}

void httpFigures()
{
    std::printf ("== HTTP at concurrency 4 (a new connection per request)\n");
    const auto build = juce::File (juce::String (ProgramProcess::programPath())).getParentDirectory();
    const auto tree = build.getChildFile ("session-bench-" + juce::String (::getpid()));
    tree.getChildFile ("bin").createDirectory();
    const auto dist = tree.getChildFile ("dist");
    dist.getChildFile ("assets").createDirectory();
    dist.getChildFile ("viewer.html").replaceWithText ("<html></html>");
    std::string asset (20000, 'a');
    dist.getChildFile ("assets/app.js").replaceWithData (asset.data(), asset.size());
    ::link (ProgramProcess::programPath().c_str(), tree.getChildFile ("bin/quorvelle").getFullPathName().toRawUTF8());

    double pageRate = 0, assetRate = 0, pythonPage = 0, pythonAsset = 0;
    int refusedAt8 = 0, answeredAt8 = 0;
    std::string page;
    {
        ProgramServer server; // the built program: no dist folder, so the built-in page
        page = httpExchange (server.port, getRequest ("/?token=" + server.code));
        pageRate = requestRate (server.port, "/?token=" + server.code, 4, 3.0).first;
        const auto [rate, refused] = requestRate (server.port, "/?token=" + server.code, 8, 3.0);
        refusedAt8 = refused;
        answeredAt8 = (int) (rate * 3.0);
    }
    {
        ProgramProcess program ({ "--bridge-stdio" }, tree.getChildFile ("bin/quorvelle").getFullPathName().toStdString());
        program.send (makeObject ({ { "action", "SESSION_START_SERVER" } }));
        program.waitForEvent ([] (const juce::var& line) { return typedSessionEvent (line).has_value(); }, 45000);
        assetRate = requestRate (8765, "/assets/app.js", 4, 3.0).first;
    }
    {
        const auto body = page.substr (page.find ("\r\n\r\n") + 4);
        dist.getChildFile ("page.html").replaceWithData (body.data(), body.size());
        const auto python = platform::findExecutableInPath ("python3");
        ProgramProcess server ({ "-m", "http.server", "--bind", "127.0.0.1", "--directory", dist.getFullPathName().toStdString(), "8766" },
                               python.getFullPathName().toStdString());
        for (int i = 0; i < 100 && httpExchange (8766, getRequest ("/page.html")).empty(); ++i)
            juce::Thread::sleep (50);
        pythonPage = requestRate (8766, "/page.html", 4, 3.0).first;
        pythonAsset = requestRate (8766, "/assets/app.js", 4, 3.0).first;
    }
    tree.deleteRecursively();

    std::printf ("built-in page (%zu bytes): program %8.0f req/s  python3 http.server %8.0f req/s  ratio %.2f\n", page.size(), pageRate, pythonPage,
                 pageRate / std::max (1.0, pythonPage));
    std::printf ("dist asset (20000 bytes):  program %8.0f req/s  python3 http.server %8.0f req/s  ratio %.2f\n", assetRate, pythonAsset,
                 assetRate / std::max (1.0, pythonAsset));
    std::printf ("concurrency 8 on the page for 3 s: %d answered, %d closed without an answer (capacity)\n", answeredAt8, refusedAt8);
}
} // namespace

int main()
{
    std::signal (SIGPIPE, SIG_IGN);
    std::setvbuf (stdout, nullptr, _IOLBF, 0);
    juce::ScopedJuceInitialiser_GUI juce;
    fanOutFigures();
    httpFigures();
    return 0;
}
