// The application and diagnostics rows through the dispatcher, in process.
#include "platform/Opener.h"
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
} // namespace quorvelle::test
