#pragma once

#include "platform/FrontEndHost.h"

#include <juce_core/juce_core.h>

#include <functional>

namespace quorvelle
{
// The first stage of every "toNative" payload: logs the action, answers "TEST_CONNECTION" itself
// and hands every other object to `onAction`. Message thread.
class JsonBridge
{
public:
    explicit JsonBridge (platform::FrontEndHost* browser, std::function<void (const juce::var&)> onAction = {});

    void handleMessage (const juce::var& message);

    std::function<void (const juce::var&)> onAction;

private:
    platform::FrontEndHost* const browser;
};

// The 24 actions that wait until the engine is ready (exact, case-sensitive names).
bool isEngineGatedAction (const juce::String& action);

// True, after logging "[BRIDGE-LIMIT] payload rechazado: <label> len=<n> cap=<cap>", when `text`
// has more than `cap` characters (code points). A text exactly at the cap passes.
bool exceedsBridgeLimit (const juce::String& text, int cap, const char* label);

// Caps of the bulk fields, in characters.
namespace bridgeLimits
{
constexpr int typedBridgeData = 67'108'864;
constexpr int corePayload = 67'108'864;
constexpr int savedFileData = 16'777'216;
constexpr int transcodeData = 1'500'000'000;
constexpr int tempChunk = 4'194'304;
constexpr int base64Path = 8'192;
} // namespace bridgeLimits

// The "messageId" of a request: the value's integer conversion (numbers truncated, numeric text
// parsed); -1 when absent.
int readMessageId (const juce::var& message);

// Runs one "CORE_INVOKE": caps and parses payloadJson, calls the song logic core and returns the
// serialised response text (the event's "responseJson").
std::string runCoreInvoke (const juce::String& method, const juce::String& payloadJson);
} // namespace quorvelle
