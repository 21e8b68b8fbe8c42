// The stdio host: line parsing, compact event lines, ordering and end of input, over pipes.
#include "platform/FrontEndHost.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
using platform::parseJsonLine;
using platform::toCompactJson;

std::optional<juce::var> parse (const std::string& text)
{
    return parseJsonLine (text.data(), text.size());
}

TEST (StdioHost, ParsesAnyStrictJsonValue)
{
    struct Case { std::string line; bool valid; };
    const std::vector<Case> cases {
        { R"({"action":"TEST_CONNECTION"})", true }, { "[1,2]", true }, { "12", true }, { "\"text\"", true }, { "null", true },
        { " {} ", true }, { "", false }, { "{", false }, { "not json", false }, { "{'a':1}", false }, { "{} x", false },
        { "{\"a\":1,}", false }, { "{\"a\":\"\xff\"}", false }, { "{\"a\":1} // c", false },
        { std::string (600, '[') + std::string (600, ']'), false },
        { "{\"t\":\"" + std::string (600, '[') + "\"}", true },
    };
    for (const auto& c : cases)
        EXPECT_EQ (parse (c.line).has_value(), c.valid) << c.line.substr (0, 40);

    // Deep nesting is refused before the parser sees it.
    const std::string deep (5'000'000, '[');
    EXPECT_FALSE (parse (deep).has_value());

    const auto v = *parse (R"({"messageId":"12","n":3000000000,"d":1.5,"s":"caf\u00e9","b":true,"z":null})");
    EXPECT_EQ (v.getProperty ("messageId", {}).toString(), "12");
    EXPECT_TRUE (v.getProperty ("n", {}).isInt64());
    EXPECT_EQ ((juce::int64) v.getProperty ("n", {}), 3000000000LL);
    EXPECT_EQ ((double) v.getProperty ("d", {}), 1.5);
    EXPECT_EQ (v.getProperty ("s", {}).toString(), juce::String::fromUTF8 ("caf\xc3\xa9"));
    EXPECT_TRUE (v.getProperty ("z", 1).isVoid());
}

TEST (StdioHost, CompactJsonLines)
{
    auto* o = new juce::DynamicObject();
    juce::var v (o);
    o->setProperty ("action", "X");
    o->setProperty ("t", 1796948406145.0);
    o->setProperty ("d", 0.1);
    o->setProperty ("s", juce::String::fromUTF8 ("a\"b\\c\nd\x01 \xc3\xa9"));
    o->setProperty ("list", juce::Array<juce::var> { 1, false, juce::var() });
    o->setProperty ("nan", std::nan (""));
    EXPECT_EQ (toCompactJson (v), "{\"action\":\"X\",\"t\":1796948406145,\"d\":0.1,\"s\":\"a\\\"b\\\\c\\nd\\u0001 \xc3\xa9\",\"list\":[1,false,null],\"nan\":null}");
    EXPECT_EQ (toCompactJson (juce::var()), "null");
    EXPECT_EQ (juce::JSON::parse (juce::String::fromUTF8 (toCompactJson (v).c_str())).getProperty ("s", {}).toString(),
               o->getProperty ("s").toString());
}

struct Pipes
{
    int in[2] { -1, -1 }, out[2] { -1, -1 };
    Pipes()
    {
        EXPECT_EQ (::pipe2 (in, O_CLOEXEC), 0);
        EXPECT_EQ (::pipe2 (out, O_CLOEXEC), 0);
    }
    ~Pipes()
    {
        for (int fd : { in[0], in[1], out[0], out[1] })
            if (fd >= 0)
                ::close (fd);
    }
    void closeInput()
    {
        ::close (in[1]);
        in[1] = -1;
    }
    void writeAll (const std::string& text) const
    {
        size_t done = 0;
        while (done < text.size())
        {
            const auto n = ::write (in[1], text.data() + done, text.size() - done);
            ASSERT_GT (n, 0);
            done += (size_t) n;
        }
    }
    std::string readAvailable() const
    {
        ::fcntl (out[0], F_SETFL, O_NONBLOCK);
        std::string text;
        char buffer[65536];
        for (ssize_t n; (n = ::read (out[0], buffer, sizeof (buffer))) > 0;)
            text.append (buffer, (size_t) n);
        return text;
    }
};

TEST (StdioHost, LinesArriveInOrderAndEndOfInputComesLast)
{
    Pipes pipes;
    std::vector<juce::String> seen;
    bool ended = false;
    size_t seenAtEnd = 0;
    platform::StdioFrontEndHost host ([&] { ended = true; seenAtEnd = seen.size(); }, pipes.in[0], pipes.out[1]);
    host.setToNativeListener ([&] (const juce::var& payload) { seen.push_back (juce::JSON::toString (payload, true)); });
    host.start();

    // A line split across writes, a CRLF line, a bad line, and a last line without a newline.
    std::thread writer ([&]
    {
        pipes.writeAll ("{\"n\":1}\n{\"n\"");
        juce::Thread::sleep (50);
        pipes.writeAll (":2}\r\nnot json\n[3]\n\"last\"");
        pipes.closeInput();
    });
    writer.join();

    ASSERT_TRUE (runMessageLoopUntil ([&] { return ended; }, 20000));
    ASSERT_EQ (seen.size(), 4u);
    EXPECT_EQ (seen[0], "{\"n\": 1}");
    EXPECT_EQ (seen[1], "{\"n\": 2}");
    EXPECT_EQ (seen[2], "[3]");
    EXPECT_EQ (seen[3], "\"last\"");
    EXPECT_EQ (seenAtEnd, 4u);
}

TEST (StdioHost, HundredMegabyteLineIsReadWhole)
{
    Pipes pipes;
    juce::var received;
    bool ended = false;
    platform::StdioFrontEndHost host ([&] { ended = true; }, pipes.in[0], pipes.out[1]);
    host.setToNativeListener ([&] (const juce::var& payload) { received = payload; });
    host.start();

    const size_t size = 100 * 1024 * 1024;
    std::thread writer ([&]
    {
        pipes.writeAll ("{\"data\":\"" + std::string (size, 'x') + "\"}\n");
        pipes.closeInput();
    });
    writer.join();
    ASSERT_TRUE (runMessageLoopUntil ([&] { return ended; }, 90000));
    EXPECT_EQ (received.getProperty ("data", {}).toString().length(), (int) size);
}

TEST (StdioHost, EventsFromManyThreadsComeOutWhole)
{
    Pipes pipes;
    platform::StdioFrontEndHost host ([] {}, pipes.in[0], pipes.out[1]);
    std::string output;
    std::atomic<bool> done { false };
    std::thread reader ([&]
    {
        char buffer[65536];
        for (ssize_t n; (n = ::read (pipes.out[0], buffer, sizeof (buffer))) > 0;)
        {
            output.append (buffer, (size_t) n);
            if (std::count (output.begin(), output.end(), '\n') == 8 * 200)
                break;
        }
        done = true;
    });

    const juce::String bulk (std::string (5000, 'q'));
    std::vector<std::thread> emitters;
    for (int t = 0; t < 8; ++t)
        emitters.emplace_back ([&, t]
        {
            for (int i = 0; i < 200; ++i)
            {
                auto* o = new juce::DynamicObject();
                juce::var v (o);
                o->setProperty ("action", "E");
                o->setProperty ("thread", t);
                o->setProperty ("bulk", bulk);
                host.emitEventIfVisible ("fromNative", v);
            }
        });
    for (auto& e : emitters)
        e.join();
    reader.join();

    const auto lines = juce::StringArray::fromLines (juce::String (output).trimEnd());
    ASSERT_EQ (lines.size(), 8 * 200);
    for (const auto& line : lines)
        ASSERT_EQ (juce::JSON::parse (line).getProperty ("bulk", {}).toString().length(), 5000) << line.substring (0, 60);
}

TEST (StdioHost, StopReturnsPromptlyWhileInputStaysOpen)
{
    Pipes pipes;
    auto host = std::make_unique<platform::StdioFrontEndHost> ([] {}, pipes.in[0], pipes.out[1]);
    host->start();
    juce::Thread::sleep (50);
    // Stopping ends without the input closing (a generous bound on a loaded machine); only if it
    // does not is the input closed, so that the test itself ends.
    std::atomic<bool> stopped { false };
    std::thread stopper ([&] { host.reset(); stopped = true; });
    for (int i = 0; i < 2000 && ! stopped.load(); ++i)
        juce::Thread::sleep (10);
    const bool stoppedWhileOpen = stopped.load();
    if (! stoppedWhileOpen)
        pipes.closeInput();
    stopper.join();
    EXPECT_TRUE (stoppedWhileOpen);
}
} // namespace
} // namespace quorvelle::test
