#include "net/cloud/CloudHttp.h"

#include "net/cloud/CloudCommon.h"
#include "platform/FrontEndHost.h"

#include <cstring>

namespace quorvelle::cloud
{
bool CloudConfig::hasUsableAuth() const
{
    return authToken.isNotEmpty() && apiKey.isNotEmpty() && ! hasLineBreak (authToken) && ! hasLineBreak (apiKey);
}

juce::String CloudConfig::authHeaders() const
{
    return "Authorization: Bearer " + authToken + "\r\napikey: " + apiKey + "\r\n";
}

//==============================================================================
void TransferCanceller::cancel()
{
    const std::scoped_lock sl (lock);
    cancelled = true;
    if (current != nullptr)
        current->cancel();
}

bool TransferCanceller::isCancelled() const
{
    const std::scoped_lock sl (lock);
    return cancelled;
}

TransferCanceller::Scope::Scope (TransferCanceller& o, juce::WebInputStream& stream) : owner (o)
{
    const std::scoped_lock sl (owner.lock);
    owner.current = &stream;
    if (owner.cancelled)
        stream.cancel();
}

TransferCanceller::Scope::~Scope()
{
    const std::scoped_lock sl (owner.lock);
    owner.current = nullptr;
}

//==============================================================================
namespace
{
// Stops a POST body on its way once the transfer was cancelled.
struct CancelListener final : juce::WebInputStream::Listener
{
    explicit CancelListener (const TransferCanceller& c) : canceller (c) {}
    bool postDataSendProgress (juce::WebInputStream&, int, int) override { return ! canceller.isCancelled(); }
    const TransferCanceller& canceller;
};
} // namespace

bool runRequest (juce::URL url, bool post, const juce::String& headers, int timeoutMs, TransferCanceller& canceller,
                 const std::function<void (juce::WebInputStream&)>& onAnswer)
{
    juce::WebInputStream stream (url, post);
    url = juce::URL();
    stream.withExtraHeaders (headers).withConnectionTimeout (timeoutMs).withNumRedirectsToFollow (5);

    const TransferCanceller::Scope scope (canceller, stream);
    CancelListener listener (canceller);
    if (! stream.connect (&listener))
        return false;
    // A transfer that failed before any status line arrived has no answer; one that failed later
    // (a cut body) is an answer, and the reader tells it by `isError`.
    if (stream.isError() && stream.getStatusCode() <= 0)
        return false;
    if (canceller.isCancelled())
        return false;

    onAnswer (stream);
    return true;
}

juce::String readAnswerText (juce::WebInputStream& stream)
{
    juce::MemoryOutputStream bytes;
    char buffer[16384];
    for (;;)
    {
        const auto got = stream.read (buffer, (int) sizeof (buffer));
        if (got <= 0)
            break;
        bytes.write (buffer, (size_t) got);
    }
    return juce::String::fromUTF8 (static_cast<const char*> (bytes.getData()), (int) bytes.getDataSize());
}

juce::String oneLineJson (const juce::var& value)
{
    return juce::JSON::toString (value, true);
}

bool postJson (const CloudConfig& config, const juce::String& url, const juce::var& body, JsonAnswer& answer, juce::String& error,
               TransferCanceller& canceller)
{
    if (! config.hasUsableAuth())
    {
        error = "missing_auth";
        return false;
    }

    const auto text = oneLineJson (body);
    auto target = juce::URL (url).withPOSTData (juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8()));
    const auto headers = config.authHeaders() + "Content-Type: application/json\r\nAccept: application/json\r\n";

    juce::String answerText;
    int status = 0;
    if (! runRequest (std::move (target), true, headers, 30000, canceller, [&] (juce::WebInputStream& stream)
    {
        status = stream.getStatusCode();
        answerText = readAnswerText (stream);
    }))
    {
        error = "connection_failed";
        return false;
    }

    answer.status = status;
    answer.body = juce::var();
    if (answerText.isNotEmpty())
    {
        // Parsed strictly: JUCE's own parser overflows on an integer literal of more than 18 digits.
        const auto utf8 = answerText.toRawUTF8();
        if (auto parsed = platform::parseJsonLine (utf8, std::strlen (utf8)))
            answer.body = *parsed;
        if (answer.body.isArray() && answer.body.size() > 0)
        {
            const auto first = answer.body[0]; // a copy: assigning the element itself would free it first
            answer.body = first;
        }
    }
    return true;
}

bool postJsonExpectingSuccess (const CloudConfig& config, const juce::String& url, const juce::var& body, JsonAnswer& answer,
                               juce::String& error, TransferCanceller& canceller)
{
    if (! postJson (config, url, body, answer, error, canceller))
        return false;
    if (answer.status >= 400)
    {
        error = "HTTP " + juce::String (answer.status) + ": " + oneLineJson (answer.body);
        return false;
    }
    return true;
}
} // namespace quorvelle::cloud
