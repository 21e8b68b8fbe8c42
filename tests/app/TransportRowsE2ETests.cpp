// The transport, song and count rows are registered in the real program (`--bridge-stdio`): an
// inline row, two posted rows and the song-load executor answer with their log lines.
#include "ProgramProcess.h"
#include "EndedProgram.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
TEST (TransportRowsE2E, RowsAnswerWithTheirLogLines)
{
    constexpr int startupMs = 45000, eventMs = 20000;
    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();

    program.send (std::string (R"({"action":"SET_TIME_SIGNATURE","numerator":7,"denominator":8})"));
    EXPECT_TRUE (program.waitForStderr ("[CLICK-CPP] SET_TIME_SIGNATURE received: 7/8", eventMs)) << program.stderrText();

    program.send (std::string (R"({"action":"STOP_COUNT_IN"})"));
    EXPECT_TRUE (program.waitForStderr ("AudioEngine: Standalone count-in cancelled", eventMs)) << program.stderrText();

    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"STOP"})"));
    EXPECT_TRUE (program.waitForStderr ("[BRIDGE-IN] TRANSPORT_CONTROL STOP arrived", eventMs)) << program.stderrText();

    program.send (std::string (R"({"action":"LOAD_SONG","name":"Prueba","bpm":0,"songId":"s1"})"));
    EXPECT_TRUE (program.waitForStderr ("LOAD_SONG cache check: songId=s1", eventMs)) << program.stderrText();
    EXPECT_NE (program.stderrText().find ("LOAD_SONG: invalid bpm=0 in payload, using 120"), std::string::npos);
}
} // namespace quorvelle::test
