#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <mutex>

namespace quorvelle::cloud
{
// The back end's base URL, public key and the user's bearer token, as the front end set them.
struct CloudConfig
{
    juce::String baseUrl, apiKey, authToken;

    // Token, base URL and key all set: the workers' loops run only then.
    bool isComplete() const { return authToken.isNotEmpty() && baseUrl.isNotEmpty() && apiKey.isNotEmpty(); }
    // Token and key set and neither able to break a header line; otherwise calls fail "missing_auth".
    bool hasUsableAuth() const;
    // "Authorization: Bearer <token>\r\napikey: <key>\r\n"
    juce::String authHeaders() const;
};

// Ends the transfer a worker thread is running, from another thread. A blocked curl transfer
// ends only by `WebInputStream::cancel`; once cancelled, every later transfer is cancelled at once.
class TransferCanceller final
{
public:
    void cancel();
    bool isCancelled() const;

    // Keeps `stream` reachable while the calling thread uses it.
    class Scope final
    {
    public:
        Scope (TransferCanceller& owner, juce::WebInputStream& stream);
        ~Scope();

    private:
        TransferCanceller& owner;
    };

private:
    mutable std::mutex lock;
    juce::WebInputStream* current = nullptr;
    bool cancelled = false;
};

// One HTTP request. `onAnswer` reads the answer while the stream can still be cancelled. False
// when there was no answer at all (no connection, time-out, cancelled). The URL is taken by value
// and let go of once the stream holds its own copy, so a large body is not held twice over.
bool runRequest (juce::URL url, bool post, const juce::String& headers, int timeoutMs, TransferCanceller& canceller,
                 const std::function<void (juce::WebInputStream&)>& onAnswer);

// Reads the rest of the answer as UTF-8 text.
juce::String readAnswerText (juce::WebInputStream& stream);

// One-line JSON of a value; "null" for an empty one.
juce::String oneLineJson (const juce::var& value);

// The answer of a JSON call: the parsed body (the first element when it is a non-empty array;
// empty for an empty or unparseable text) and the HTTP status.
struct JsonAnswer
{
    juce::var body;
    int status = 0;
};

// POSTs `body` as one-line JSON with the bearer token, the key and JSON content headers, 30000 ms
// time-out. False with "missing_auth" or "connection_failed"; true with any HTTP status.
bool postJson (const CloudConfig& config, const juce::String& url, const juce::var& body, JsonAnswer& answer, juce::String& error,
               TransferCanceller& canceller);

// `postJson`, with a status of 400 or more as the error "HTTP <status>: <answer as one-line JSON>".
bool postJsonExpectingSuccess (const CloudConfig& config, const juce::String& url, const juce::var& body, JsonAnswer& answer,
                               juce::String& error, TransferCanceller& canceller);
} // namespace quorvelle::cloud
