// The application and diagnostics rows through the dispatcher, in process.
#include "audio/graph/GraphUtils.h"
#include "platform/Opener.h"
#include "platform/StorageRoot.h"
#include "tests/bridge/BridgeTestSupport.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
class HostActions : public MainComponentFixture
{
protected:
    void SetUp() override
    {
        platform::setOpenerForTesting ([this] (const juce::StringArray& arguments)
        {
            opened.push_back (arguments);
            return true;
        });
        make();
    }
    void TearDown() override { platform::setOpenerForTesting (nullptr); }

    std::vector<juce::StringArray> opened;
};
} // namespace

TEST_F (HostActions, OpenExternalUrlOpensOnlyWebAndMailLinksAndAlwaysLogs)
{
    const struct
    {
        const char* url;
        const char* opens; // nullptr: nothing is opened
    } cases[] = {
        { "https://a.test/?q=$(id)", "https://a.test/?q=$(id)" },
        { "HTTP://A.test/`id`", "HTTP://A.test/`id`" },
        { "mailto:x@y.test", "mailto:x@y.test" },
        { "x@y.test", "mailto:x@y.test" },
        { "file:///etc/passwd", nullptr },
        { "javascript:x", nullptr },
        { "/usr/bin/xterm", nullptr },
        { "", nullptr },
        { "x@y.test:25", nullptr },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.url);
        opened.clear();
        const auto logged = logger.count ("[OAuth] OPEN_EXTERNAL_URL (browser launched)");
        deliver (makeObject ({ { "action", "OPEN_EXTERNAL_URL" }, { "url", juce::String (c.url) } }));
        EXPECT_EQ (logger.count ("[OAuth] OPEN_EXTERNAL_URL (browser launched)"), logged + 1);
        if (c.opens == nullptr)
            EXPECT_TRUE (opened.empty());
        else
        {
            ASSERT_EQ (opened.size(), 1u);
            EXPECT_EQ (opened[0], juce::StringArray ({ "xdg-open", c.opens }));
        }
    }
}

TEST_F (HostActions, FrontendReadyForgetsTheSeenIdsOfTheLastSession)
{
    const auto runs = [this] (int id)
    {
        host.clearEvents();
        deliver (makeObject ({ { "action", "CORE_INVOKE" }, { "id", "x" }, { "method", "NO_SUCH_METHOD" }, { "payloadJson", "{}" }, { "messageId", id } }));
        int answers = 0;
        for (const auto& e : host.events())
            answers += e.payload["action"].toString() == "CORE_INVOKE_RESPONSE" ? 1 : 0;
        return answers == 1;
    };

    EXPECT_TRUE (runs (7));
    EXPECT_FALSE (runs (7));
    deliver (makeObject ({ { "action", "FRONTEND_READY" }, { "messageId", 8 } }));
    EXPECT_TRUE (runs (7));
    // FRONTEND_READY's own id is forgotten too.
    EXPECT_TRUE (runs (8));
    EXPECT_FALSE (runs (8));
}

TEST_F (HostActions, MetricsRowsWriteNonEmptyLinesAndSwitchTheInterval)
{
    auto* metrics = component->getMetricsCollector();
    ASSERT_NE (metrics, nullptr);
    const auto log = metrics->getLogFile();
    EXPECT_EQ (log.getParentDirectory(), getStorageRoot().getChildFile ("logs"));

    deliver (makeObject ({ { "action", "WRITE_METRICS_JSONL" }, { "line", "" } }));
    deliver (makeObject ({ { "action", "WRITE_METRICS_JSONL" } }));
    EXPECT_FALSE (log.exists());
    deliver (makeObject ({ { "action", "WRITE_METRICS_JSONL" }, { "line", juce::String::fromUTF8 ("{\"t\":\"\xc3\xb1\"}") } }));
    EXPECT_EQ (log.loadFileAsString(), juce::String::fromUTF8 ("{\"t\":\"\xc3\xb1\"}\n"));

    // The start-up thread has started the timer by now.
    ASSERT_TRUE (runMessageLoopUntil ([metrics] { return metrics->isTimerRunning(); }));
    EXPECT_EQ (metrics->getTimerInterval(), 2000);
    deliver (makeObject ({ { "action", "METRICS_SET_ACTIVE" }, { "active", true } }));
    EXPECT_EQ (metrics->getTimerInterval(), 250);
    deliver (makeObject ({ { "action", "METRICS_SET_ACTIVE" } }));
    EXPECT_EQ (metrics->getTimerInterval(), 2000);
}

TEST_F (HostActions, VerboseDiagnosticsFollowsTheFlagAndDefaultsToOff)
{
    deliver (makeObject ({ { "action", "SET_VERBOSE_DIAG" }, { "enabled", true } }));
    EXPECT_TRUE (verboseDiagnostics.load());
    EXPECT_EQ (logger.count ("[VERBOSE-DIAG] hot-path logs ON"), 1);
    deliver (makeObject ({ { "action", "SET_VERBOSE_DIAG" } }));
    EXPECT_FALSE (verboseDiagnostics.load());
    EXPECT_EQ (logger.count ("[VERBOSE-DIAG] hot-path logs OFF"), 1);
}
} // namespace quorvelle::test
