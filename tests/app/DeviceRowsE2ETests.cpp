// The audio device rows through the real program (`--bridge-stdio`): the device list without a
// device, choosing the virtual driver, rates and buffer sizes refused at the bridge or passed to
// the engine, the empty device name, and the settings the changes leave in the storage root.
#include "ProgramProcess.h"
#include "EndedProgram.h"
#include "TypedDeviceEvents.h"

#include <gtest/gtest.h>
#include <juce_data_structures/juce_data_structures.h>

#include <cstdlib>
#include <limits>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 20000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// The typed device events of the program so far, each with the index of its stdout line.
struct DeviceEvents
{
    explicit DeviceEvents (const ProgramProcess& program)
    {
        const auto all = program.events();
        for (size_t i = 0; i < all.size(); ++i)
            if (const auto event = typedDeviceEvent (all[i]); event.isObject())
                found.push_back ({ i, event });
    }

    // The first event from line `from` on that satisfies `predicate`.
    std::optional<std::pair<size_t, juce::var>> first (const std::function<bool (const juce::var&)>& predicate, size_t from) const
    {
        for (const auto& [index, event] : found)
            if (index >= from && predicate (event))
                return std::make_pair (index, event);
        return std::nullopt;
    }

    std::vector<std::pair<size_t, juce::var>> found;
};

class DeviceRows
{
public:
    explicit DeviceRows (ProgramProcess& p) : program (p) {}

    // Waits for the first typed device event from line `from` on that satisfies `predicate`.
    std::optional<std::pair<size_t, juce::var>> waitFor (const std::function<bool (const juce::var&)>& predicate, size_t from)
    {
        const auto index = program.waitForEvent ([&] (const juce::var& line)
        {
            const auto event = typedDeviceEvent (line);
            return event.isObject() && predicate (event);
        }, eventMs, from);
        if (! index.has_value())
            return std::nullopt;
        return std::make_pair (*index, typedDeviceEvent (program.events()[*index]));
    }

    std::optional<std::pair<size_t, juce::var>> waitForList (size_t from)
    {
        return waitFor ([] (const juce::var& e) { return actionOf (e) == "AUDIO_DEVICES_LIST"; }, from);
    }

    std::optional<std::pair<size_t, juce::var>> waitForLog (const juce::String& start, size_t from)
    {
        return waitFor ([&] (const juce::var& e)
        { return actionOf (e) == "DEBUG_LOG" && e.getProperty ("message", {}).toString().startsWith (start); }, from);
    }

    // Sends TEST_CONNECTION and waits for its answer: every earlier inline action is done by then.
    bool roundTrip()
    {
        const auto before = program.lines().size();
        program.send (makeObject ({ { "action", "TEST_CONNECTION" } }));
        return program.waitForEvent ([] (const juce::var& v) { return v.getProperty ("status", {}).toString() == "CONNECTED"; }, eventMs, before)
            .has_value();
    }

    ProgramProcess& program;
};

// SET_SAMPLE_RATE as a typed message: the typed road carries any double, infinities and NaN too.
std::string typedSetSampleRate (double rate)
{
    flatbuffers::FlatBufferBuilder builder;
    const auto payload = bridge::CreateSetSampleRate (builder, 0, rate);
    bridge::FinishToNativeMessageBuffer (builder, bridge::CreateToNativeMessage (builder, bridge::ToNativePayload::SetSampleRate, payload.Union()));
    const auto data = juce::Base64::toBase64 (builder.GetBufferPointer(), builder.GetSize());
    return juce::JSON::toString (makeObject ({ { "action", "TYPED_BRIDGE_V1" }, { "data", data } }), true).toStdString();
}

bool containsAll (const juce::var& array, std::initializer_list<const char*> names)
{
    for (auto* name : names)
        if (! array.getArray()->contains (juce::var (name)))
            return false;
    return true;
}
} // namespace

TEST (DeviceRowsE2E, ListChangesAndRefusedParameters)
{
    // No audio server is found under this name, and the container has no sound cards.
    const auto serverName = "quorvelle-no-server-" + std::to_string (::getpid());
    ::setenv ("JACK_DEFAULT_SERVER", serverName.c_str(), 1);

    EndedProgram program;
    DeviceRows rows (program);
    const auto readyIndex = program.waitForAction ("BACKEND_READY", startupMs);
    ASSERT_TRUE (readyIndex.has_value()) << program.stderrText();
    const auto ready = program.events()[*readyIndex];
    EXPECT_EQ ((double) ready.getProperty ("deviceSampleRate", {}), 44100.0);

    // Without a device.
    auto from = program.lines().size();
    program.send (makeObject ({ { "action", "GET_AUDIO_DEVICES" } }));
    auto list = rows.waitForList (from);
    ASSERT_TRUE (list.has_value()) << program.stderrText();
    EXPECT_EQ (list->second.getProperty ("currentDevice", {}).toString(), "");
    EXPECT_EQ (list->second.getProperty ("sampleRates", {}).size(), 0);
    EXPECT_EQ (list->second.getProperty ("bufferSizes", {}).size(), 0);
    EXPECT_EQ ((int) list->second.getProperty ("maxOutputChannels", {}), 2);
    EXPECT_TRUE (containsAll (list->second.getProperty ("drivers", {}), { "ALSA", "JACK", "Virtual" }))
        << juce::JSON::toString (list->second.getProperty ("drivers", {}), true);

    // The virtual driver opens its first device at 48000 Hz and 1024 samples.
    from = program.lines().size();
    program.send (makeObject ({ { "action", "SET_AUDIO_DRIVER" }, { "driver", "Virtual" } }));
    list = rows.waitForList (from);
    ASSERT_TRUE (list.has_value()) << program.stderrText();
    EXPECT_EQ (list->second.getProperty ("currentDriver", {}).toString(), "Virtual");
    EXPECT_EQ (list->second.getProperty ("currentDevice", {}).toString(), "Virtual 2");
    EXPECT_EQ ((double) list->second.getProperty ("currentSampleRate", {}), 48000.0);
    EXPECT_EQ ((int) list->second.getProperty ("currentBufferSize", {}), 1024);

    // Refused at the bridge: the line, and the device is not touched.
    const struct { std::string line; const char* logged; } refused[] = {
        { R"({"action":"SET_SAMPLE_RATE","sampleRate":0})", "[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=0" },
        { R"({"action":"SET_SAMPLE_RATE","sampleRate":-1})", "[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=-1" },
        { R"({"action":"SET_SAMPLE_RATE","sampleRate":768001})", "[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=768001" },
        { typedSetSampleRate (std::numeric_limits<double>::infinity()), "[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=" },
        { typedSetSampleRate (-std::numeric_limits<double>::infinity()), "[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=" },
        { typedSetSampleRate (std::numeric_limits<double>::quiet_NaN()), "[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=" },
        { R"({"action":"SET_SAMPLE_RATE","sampleRate":"48000"})", "[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=48000" },
        { R"({"action":"SET_BUFFER_SIZE","bufferSize":0})", "[CFG-FIX] SET_BUFFER_SIZE ignorado: size invalido=0" },
        { R"({"action":"SET_BUFFER_SIZE","bufferSize":65537})", "[CFG-FIX] SET_BUFFER_SIZE ignorado: size invalido=65537" },
        { R"({"action":"SET_BUFFER_SIZE","bufferSize":"512"})", "[CFG-FIX] SET_BUFFER_SIZE ignorado: size invalido=512" },
    };
    from = program.lines().size();
    for (const auto& r : refused)
    {
        SCOPED_TRACE (r.line.substr (0, 80));
        const auto before = program.lines().size();
        program.send (r.line);
        const auto logged = rows.waitForLog ("[CFG-FIX] SET_", before);
        ASSERT_TRUE (logged.has_value());
        const auto message = logged->second.getProperty ("message", {}).toString();
        EXPECT_TRUE (message.startsWith (r.logged)) << message;
        if (juce::String (r.logged).endsWith ("="))
            EXPECT_GT (message.length(), juce::String (r.logged).length()) << message;
        else
            EXPECT_EQ (message, r.logged);
    }
    // A JSON number beyond the double range does not even pass the stdio host's reader.
    program.send (std::string (R"({"action":"SET_SAMPLE_RATE","sampleRate":1e999})"));
    ASSERT_TRUE (rows.roundTrip());
    EXPECT_TRUE (program.waitForStderr ("[STDIO-BRIDGE] line is not valid JSON", eventMs));
    EXPECT_FALSE (DeviceEvents (program).first ([] (const juce::var& e)
    {
        return actionOf (e) == "AUDIO_DEVICES_LIST" || actionOf (e) == "AUDIO_CONFIG_ERROR"
               || e.getProperty ("message", {}).toString().startsWith ("[SR-DEBUG] setDevice");
    }, from).has_value());

    // At the edges of the ranges the values reach the engine, which asks the device for them.
    // A size the device does not offer gives its default, a rate it does not offer keeps the rate.
    const struct { const char* line; const char* engineLine; int bufferSize; } passed[] = {
        { R"({"action":"SET_SAMPLE_RATE","sampleRate":768000})", "[SR-DEBUG] setDeviceSampleRate: requestedSR=768000", 1024 },
        { R"({"action":"SET_BUFFER_SIZE","bufferSize":1})", nullptr, 512 },
        { R"({"action":"SET_BUFFER_SIZE","bufferSize":128})", nullptr, 128 },
        { R"({"action":"SET_BUFFER_SIZE","bufferSize":65536})", nullptr, 512 },
    };
    for (const auto& p : passed)
    {
        SCOPED_TRACE (p.line);
        const auto before = program.lines().size();
        program.send (std::string (p.line));
        list = rows.waitForList (before);
        ASSERT_TRUE (list.has_value());
        EXPECT_EQ (list->second.getProperty ("currentDevice", {}).toString(), "Virtual 2");
        if (p.engineLine != nullptr)
            EXPECT_TRUE (DeviceEvents (program).first ([&] (const juce::var& e)
            { return e.getProperty ("message", {}).toString().startsWith (p.engineLine); }, before).has_value());
        EXPECT_EQ ((int) list->second.getProperty ("currentBufferSize", {}), p.bufferSize);
    }

    // An empty device name is refused before the device is touched.
    from = program.lines().size();
    program.send (makeObject ({ { "action", "SET_AUDIO_DEVICE" }, { "device", "" } }));
    const auto error = rows.waitFor ([] (const juce::var& e) { return actionOf (e) == "AUDIO_CONFIG_ERROR"; }, from);
    ASSERT_TRUE (error.has_value());
    EXPECT_EQ (error->second.getProperty ("operation", {}).toString(), "setAudioDevice");
    EXPECT_EQ (error->second.getProperty ("error", {}).toString(), "No such device: ");
    list = rows.waitForList (error->first);
    ASSERT_TRUE (list.has_value());
    EXPECT_EQ (list->second.getProperty ("currentDevice", {}).toString(), "Virtual 2");

    // The changes left their device in the storage root's settings.
    const auto settings = juce::File (ready.getProperty ("storageRoot", {}).toString()).getChildFile ("audio-settings.xml");
    juce::PropertiesFile::Options options;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    options.millisecondsBeforeSaving = -1;
    juce::PropertiesFile saved (settings, options);
    EXPECT_EQ (saved.getValue ("driverType"), "Virtual");
    EXPECT_EQ (saved.getValue ("deviceName"), "Virtual 2");
    const auto state = juce::parseXML (saved.getValue ("deviceManagerState"));
    ASSERT_NE (state, nullptr);
    EXPECT_EQ (state->getStringAttribute ("deviceType"), "Virtual");
    EXPECT_EQ (state->getStringAttribute ("audioOutputDeviceName"), "Virtual 2");

    ::unsetenv ("JACK_DEFAULT_SERVER");
}
} // namespace quorvelle::test

namespace quorvelle::test
{
// The routing rows: a routing the device cannot carry and one with a bad channel are refused
// with the engine's AUDIO_CONFIG_ERROR; the split monitor logs at the bridge and in the engine.
TEST (DeviceRowsE2E, RoutingRowsReachTheEngine)
{
    const auto serverName = "quorvelle-no-server-" + std::to_string (::getpid());
    ::setenv ("JACK_DEFAULT_SERVER", serverName.c_str(), 1);

    EndedProgram program;
    DeviceRows rows (program);
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();

    auto from = program.lines().size();
    program.send (makeObject ({ { "action", "SET_AUDIO_DRIVER" }, { "driver", "Virtual" } }));
    ASSERT_TRUE (rows.waitForList (from).has_value()) << program.stderrText();

    const auto configError = [] (const juce::var& e) { return actionOf (e) == "AUDIO_CONFIG_ERROR"; };
    const struct
    {
        std::string line;
        const char* error;
    } refused[] = {
        { R"({"action":"SET_BUS_ROUTING","routing":{"drums":{"mode":"MONO","channels":[5]}}})",
          "Routing requiere 6 canales pero el dispositivo solo tiene 2" },
        { R"({"action":"SET_BUS_ROUTING","routing":{"bass":{"channels":[3,0]}}})", "Routing requiere 5 canales pero el dispositivo solo tiene 2" },
        { R"({"action":"SET_BUS_ROUTING","routing":{"bass":{"mode":"MONO","channels":[-1]}}})", "Routing inv\xc3\xa1lido: canal -1 en bass" },
    };
    for (const auto& r : refused)
    {
        SCOPED_TRACE (r.line);
        from = program.lines().size();
        program.send (std::string (r.line));
        ASSERT_TRUE (rows.waitForLog ("[BRIDGE-IN] SET_BUS_ROUTING received", from).has_value());
        const auto error = rows.waitFor (configError, from);
        ASSERT_TRUE (error.has_value()) << program.stderrText();
        EXPECT_EQ (error->second.getProperty ("operation", {}).toString(), "setBusRouting");
        EXPECT_EQ (error->second.getProperty ("error", {}).toString(), juce::String::fromUTF8 (r.error));
    }

    // Accepted on two outputs: no error, the engine's closing line.
    from = program.lines().size();
    program.send (std::string (R"({"action":"SET_CHANNEL_OVERRIDES","overrides":{"DRUMS":"aux"}})"));
    program.send (std::string (R"({"action":"SET_BUS_ROUTING","routing":{"click":{"mode":"MONO","channels":[1]},"drums":{"channels":[0,1]}}})"));
    ASSERT_TRUE (rows.waitForLog ("AudioEngine: Bus routing updated (16 groups). Max channel: 2", from).has_value());
    EXPECT_FALSE (DeviceEvents (program).first (configError, from).has_value());

    from = program.lines().size();
    program.send (std::string (R"({"action":"SET_SPLIT_MONITOR","enabled":true})"));
    const auto bridgeLine = rows.waitForLog ("[BRIDGE-IN] SET_SPLIT_MONITOR enabled=Y", from);
    ASSERT_TRUE (bridgeLine.has_value());
    EXPECT_EQ (bridgeLine->second.getProperty ("message", {}).toString(),
               juce::String::fromUTF8 ("[BRIDGE-IN] SET_SPLIT_MONITOR enabled=Y (solo flags en splitRouter/multiBusRouter \xe2\x80\x94 no reconfigura el device)"));
    EXPECT_TRUE (rows.waitForLog ("AudioEngine: Split Monitor ON", from).has_value());
}
} // namespace quorvelle::test
