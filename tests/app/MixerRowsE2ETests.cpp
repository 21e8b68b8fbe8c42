// The mixer rows through the real program (`--bridge-stdio`): the click source text test, levels
// that are not finite refused by the engine (inline and posted rows), and the batch message
// reaching the solo rule.
#include "ProgramProcess.h"
#include "EndedProgram.h"

#include "typedbridge/TypedMessages_generated.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 20000;

// A typed message: the typed road carries any float, infinities and NaN too (a JSON line with
// 1e999 is refused whole by the host's parser).
template <typename Create>
std::string typedLine (bridge::ToNativePayload type, Create create)
{
    flatbuffers::FlatBufferBuilder builder;
    const auto payload = create (builder);
    bridge::FinishToNativeMessageBuffer (builder, bridge::CreateToNativeMessage (builder, type, payload.Union()));
    const auto data = juce::Base64::toBase64 (builder.GetBufferPointer(), builder.GetSize());
    return juce::JSON::toString (makeObject ({ { "action", "TYPED_BRIDGE_V1" }, { "data", data } }), true).toStdString();
}

int occurrences (const std::string& text, const std::string& fragment)
{
    int n = 0;
    for (auto at = text.find (fragment); at != std::string::npos; at = text.find (fragment, at + 1))
        ++n;
    return n;
}
} // namespace

TEST (MixerRowsE2E, SourcesRefusedLevelsAndBatch)
{
    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();

    // "int" in lower case is not the internal click.
    program.send (std::string (R"({"action":"SET_CLICK_SOURCE","source":"int"})"));
    EXPECT_TRUE (program.waitForStderr ("AudioEngine: Click Source = SEQ", eventMs)) << program.stderrText();
    program.send (std::string (R"({"action":"SET_GUIDE_SOURCE","source":"INT"})"));
    EXPECT_TRUE (program.waitForStderr ("AudioEngine: Guide Source = INT", eventMs)) << program.stderrText();

    // Levels that cannot become a finite gain are refused by the inline and the posted rows alike.
    program.send (typedLine (bridge::ToNativePayload::SetMasterVolume, [] (auto& b)
    { return bridge::CreateSetMasterVolume (b, 0, std::numeric_limits<float>::infinity()); }));
    EXPECT_TRUE (program.waitForStderr ("setMasterVolume ignored", eventMs)) << program.stderrText();
    program.send (typedLine (bridge::ToNativePayload::SetBusVolume, [] (auto& b)
    { return bridge::CreateSetBusVolume (b, 0, b.CreateString ("click"), std::numeric_limits<float>::quiet_NaN()); }));
    EXPECT_TRUE (program.waitForStderr ("setBusVolume ignored", eventMs)) << program.stderrText();
    program.send (std::string (R"({"action":"UPDATE_METRONOME","volume":900,"accentVol":-3})"));
    EXPECT_TRUE (program.waitForStderr ("setMetronomeVolume ignored", eventMs)) << program.stderrText();

    // The batch: the metronome's solo reaches the solo rule; its volume is not part of the batch.
    program.send (std::string (R"({"action":"BATCH_MIX_STATE","metronome":{"soloed":true,"volume":900},"tracks":[{"id":""}]})"));
    EXPECT_TRUE (program.waitForStderr ("System: AnySolo=true ClickSolo=true", eventMs)) << program.stderrText();
    EXPECT_EQ (occurrences (program.stderrText(), "setMetronomeVolume ignored"), 1);

    program.send (std::string (R"({"action":"SET_METRONOME_SOLO","soloed":false})"));
    program.send (std::string (R"({"action":"SET_GUIDE_SOLO","soloed":true})"));
    EXPECT_TRUE (program.waitForStderr ("System: AnySolo=true ClickSolo=false", eventMs)) << program.stderrText();
}
} // namespace quorvelle::test
