#include "bridge/JsonBridge.h"

#include "platform/EventSink.h"
#include "core/CoreService.h"

#include <array>

namespace quorvelle
{
JsonBridge::JsonBridge (platform::FrontEndHost* b, std::function<void (const juce::var&)> handler)
    : onAction (std::move (handler)), browser (b)
{
}

void JsonBridge::handleMessage (const juce::var& message)
{
    if (! message.isObject() || message.isArray())
        return;

    const auto action = message.getProperty ("action", {}).toString();
    juce::Logger::writeToLog ("Received Frontend Action: " + action);

    if (action == "TEST_CONNECTION")
    {
        if (browser != nullptr)
            browser->emitEventIfVisible ("fromNative", makeObject ({ { "status", "CONNECTED" },
                                                                     { "serverTime", (double) juce::Time::currentTimeMillis() } }));
        return;
    }

    if (onAction)
        onAction (message);
}

bool isEngineGatedAction (const juce::String& action)
{
    static const std::array<const char*, 24> gated {
        "LOAD_SONG", "TRANSPORT_CONTROL", "PRELOAD_SONG", "PRELOAD_PAD", "RELEASE_PAD", "SET_BPM", "SET_PITCH",
        "SET_BUS_ROUTING", "SET_SPLIT_MONITOR", "SET_PERFORMANCE_LEVEL", "SET_AUDIO_DRIVER", "SET_AUDIO_DEVICE",
        "SET_SAMPLE_RATE", "SET_BUFFER_SIZE", "OPEN_ASIO_PANEL", "START_CLICK_SECTION", "CANCEL_CLICK_SECTION",
        "CLICK_SECTION_DEACTIVATE_LOOP", "CLICK_SECTION_REACTIVATE_LOOP", "SET_CLICK_SECTION_REPEAT",
        "SET_CLICK_SECTION_LOOP", "SET_CLICK_SECTION_NEXT_SEEK_TARGET", "EXPORT_MIX", "TYPED_BRIDGE_V1"
    };

    for (auto* name : gated)
        if (action == name)
            return true;
    return false;
}

bool exceedsBridgeLimit (const juce::String& text, int cap, const char* label)
{
    const auto length = (juce::int64) text.length();
    if (length <= cap)
        return false;

    juce::Logger::writeToLog ("[BRIDGE-LIMIT] payload rechazado: " + juce::String (label) + " len=" + juce::String (length)
                              + " cap=" + juce::String (cap));
    return true;
}

int readMessageId (const juce::var& message)
{
    if (auto* object = message.getDynamicObject(); object != nullptr && object->hasProperty ("messageId"))
        return (int) object->getProperty ("messageId");
    return -1;
}

std::string runCoreInvoke (const juce::String& method, const juce::String& payloadJson)
{
    core::Json response;

    if (exceedsBridgeLimit (payloadJson, bridgeLimits::corePayload, "CORE_INVOKE"))
    {
        response = { { "ok", false }, { "error", "payloadJson too large (bridge limit)" } };
        return core::serialiseCoreEnvelope (response);
    }

    core::Json payload;
    try
    {
        payload = core::Json::parse (payloadJson.toStdString(), nullptr, true, false);
    }
    catch (const core::Json::exception& e)
    {
        response = { { "ok", false }, { "error", std::string ("payloadJson parse error: ") + e.what() } };
        return core::serialiseCoreEnvelope (response);
    }

    return core::invokeCoreMethodToJson (method.toStdString(), payload);
}
} // namespace quorvelle
