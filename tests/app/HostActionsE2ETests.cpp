// The host services through `--bridge-stdio`: the GPU-mode guard across starts, the crash-dump
// rows, the start-up handshake, the diagnostics rows and the external-link opener.
#include "EndedProgram.h"

#include "platform/StorageRoot.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// Sends TEST_CONNECTION and waits for its answer: every earlier line has been handled by then.
bool roundTrip (ProgramProcess& program, int timeoutMs = 30000)
{
    const auto before = program.lines().size();
    program.send (makeObject ({ { "action", "TEST_CONNECTION" } }));
    return program.waitForEvent ([] (const juce::var& v) { return v.getProperty ("status", {}).toString() == "CONNECTED"; }, timeoutMs, before)
        .has_value();
}

int countActions (const ProgramProcess& program, const juce::String& action)
{
    int n = 0;
    for (const auto& e : program.events())
        n += actionOf (e) == action ? 1 : 0;
    return n;
}

size_t occurrences (const std::string& text, const std::string& fragment)
{
    size_t n = 0;
    for (auto at = text.find (fragment); at != std::string::npos; at = text.find (fragment, at + 1))
        ++n;
    return n;
}

// Stderr is a pipe of its own: a line may trail the stdout answer that followed it. Waits (within
// a bound) until `fragment` appears `count` times, and returns how often it appeared.
size_t stderrOccurrences (const ProgramProcess& program, const std::string& fragment, size_t count)
{
    size_t seen = 0;
    for (int i = 0; i < 2000 && (seen = occurrences (program.stderrText(), fragment)) < count; ++i)
        juce::Thread::sleep (5);
    return seen;
}

juce::String decodeBase64 (const juce::String& text)
{
    juce::MemoryOutputStream decoded;
    if (! juce::Base64::convertFromBase64 (decoded, text))
        return {};
    return decoded.toUTF8();
}

juce::var lastEvent (const ProgramProcess& program, const juce::String& action)
{
    juce::var found;
    for (const auto& e : program.events())
        if (actionOf (e) == action)
            found = e;
    return found;
}
} // namespace

TEST (HostGpuGuard, ThreeUnconfirmedStartsAreDetectedAndAReadyFrontEndResetsTheCount)
{
    const auto folder = getApplicationDataFolder();
    ASSERT_TRUE (folder.createDirectory());
    const auto stateFile = folder.getChildFile ("gpu-mode.json");
    ASSERT_TRUE (stateFile.replaceWithText (R"({"mode": "force-software", "lastBootSucceeded": true})"));

    // Three starts that end without FRONTEND_READY.
    for (int start = 0; start < 3; ++start)
    {
        EndedProgram program;
        ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    }

    const auto log = folder.getChildFile ("logs").getChildFile ("gpu-events.log");
    EXPECT_FALSE (log.loadFileAsString().contains ("BOOT_FAILED_DETECTED consecutiveFailures=3"));

    {
        EndedProgram program;
        ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
        EXPECT_TRUE (log.loadFileAsString().contains ("] BOOT_FAILED_DETECTED consecutiveFailures=3\r\n"));
        EXPECT_EQ ((int) juce::JSON::parse (stateFile)["consecutiveFailures"], 3);

        program.send (makeObject ({ { "action", "FRONTEND_READY" } }));
        ASSERT_TRUE (roundTrip (program));
    }

    const auto state = juce::JSON::parse (stateFile);
    juce::StringArray keys;
    for (const auto& property : state.getDynamicObject()->getProperties())
        keys.add (property.name.toString());
    EXPECT_EQ (keys.joinIntoString (","), "mode,lastBootSucceeded,consecutiveFailures,lastBootAt,lastSuccessAt,legacyAutoMigrated,cleanupV2Migrated");
    EXPECT_EQ ((int) state["consecutiveFailures"], 0);
    EXPECT_TRUE ((bool) state["lastBootSucceeded"]);
    EXPECT_EQ (state["mode"].toString(), "auto");

    const auto text = log.loadFileAsString();
    EXPECT_TRUE (text.endsWith ("\r\n"));
    int lines = 0;
    for (const auto& line : juce::StringArray::fromTokens (text, "\n", ""))
        if (line.isNotEmpty())
        {
            ++lines;
            EXPECT_TRUE (line.endsWith ("\r")) << line;
        }
    EXPECT_EQ (lines, 1 + 4 + 3 + 1); // the migration, four starts, three detections, the ready
    EXPECT_TRUE (text.contains ("] FRONTEND_READY_OK elapsed_ms="));
    EXPECT_EQ (text.indexOf ("MIGRATED_V2_RESET_MODE previous=force-software\r\n"), text.lastIndexOf ("MIGRATED_V2_RESET_MODE"));
    EXPECT_GE (text.indexOf ("MIGRATED_V2_RESET_MODE"), 0);
}

TEST (HostCrashRows, PendingCrashesListsTheFolderAndDiscardDeletesOnlyAcceptedNames)
{
    EndedProgram program;
    const auto ready = program.waitForAction ("BACKEND_READY", startupMs);
    ASSERT_TRUE (ready.has_value()) << program.stderrText();
    const juce::File root (program.events()[*ready]["storageRoot"].toString());
    const auto crashes = root.getChildFile ("crashes");
    // The handler made the folder at start; without it the list is empty.
    ASSERT_TRUE (crashes.isDirectory());
    ASSERT_TRUE (crashes.deleteRecursively());

    const auto ask = [&program] (const juce::var& request)
    {
        const auto before = program.lines().size();
        program.send (request);
        const auto index = program.waitForAction ("PENDING_CRASHES_RESULT", 30000, before);
        return index.has_value() ? program.events()[*index] : juce::var();
    };

    auto result = ask (makeObject ({ { "action", "GET_PENDING_CRASHES" } }));
    EXPECT_EQ (result["requestId"].toString(), "");
    ASSERT_TRUE (result["crashes"].isArray());
    EXPECT_EQ (result["crashes"].size(), 0);

    ASSERT_TRUE (crashes.getChildFile ("a").createDirectory());
    for (const char* name : { "crash-1.dmp", "x.DMP", "a/b.dmp", "..\\x.dmp", "x.txt" })
        ASSERT_TRUE (crashes.getChildFile (name).replaceWithText ("dump:" + juce::String (name)));
    ASSERT_TRUE (root.getChildFile ("x.dmp").replaceWithText ("outside"));

    result = ask (makeObject ({ { "action", "GET_PENDING_CRASHES" }, { "requestId", "r1" } }));
    EXPECT_EQ (result["requestId"].toString(), "r1");
    std::map<juce::String, juce::var> byName;
    for (const auto& entry : *result["crashes"].getArray())
        byName[entry["name"].toString()] = entry;
    ASSERT_EQ (byName.size(), 3u);
    for (const char* name : { "crash-1.dmp", "x.DMP", "..\\x.dmp" })
    {
        SCOPED_TRACE (name);
        ASSERT_EQ (byName.count (name), 1u);
        const auto& entry = byName[name];
        const auto file = crashes.getChildFile (name);
        EXPECT_EQ (entry["url"].toString(), "file://" + file.getFullPathName());
        EXPECT_EQ (decodeBase64 (entry["urlB64"].toString()), entry["url"].toString());
        EXPECT_EQ ((juce::int64) entry["sizeBytes"], file.getSize());
    }

    const auto before = program.lines().size();
    for (const char* name : { "x.DMP", "a/b.dmp", "..\\x.dmp", "x.txt", "../x.dmp", "" })
        program.send (makeObject ({ { "action", "DISCARD_CRASH_DUMP" }, { "name", juce::String (name) } }));
    ASSERT_TRUE (roundTrip (program));
    EXPECT_EQ (program.lines().size(), before + 1) << "only the round trip's answer";

    EXPECT_FALSE (crashes.getChildFile ("x.DMP").exists());
    for (const char* kept : { "crash-1.dmp", "a/b.dmp", "..\\x.dmp", "x.txt" })
        EXPECT_TRUE (crashes.getChildFile (kept).existsAsFile()) << kept;
    EXPECT_TRUE (root.getChildFile ("x.dmp").existsAsFile());
}

TEST (HostHandshake, FrontendReadyResendsBackendReadyEachTimeAndForgetsTheSeenIds)
{
    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();

    program.send (makeObject ({ { "action", "FRONTEND_READY" } }));
    program.send (makeObject ({ { "action", "FRONTEND_READY" } }));
    ASSERT_TRUE (roundTrip (program));
    EXPECT_EQ (countActions (program, "BACKEND_READY"), 3);
    EXPECT_EQ (stderrOccurrences (program, "[FRONTEND-READY] re-emitted BACKEND_READY", 2), 2u);

    const auto invokeAll = [&program] (const juce::String& prefix)
    {
        for (int id = 0; id <= 150; ++id)
            program.send (makeObject ({ { "action", "CORE_INVOKE" }, { "id", prefix + juce::String (id) }, { "method", "NO_SUCH_METHOD" },
                                        { "payloadJson", "{}" }, { "messageId", id } }));
    };
    const auto answered = [&program] (const juce::String& prefix)
    {
        int n = 0;
        for (const auto& e : program.events())
            n += actionOf (e) == "CORE_INVOKE_RESPONSE" && e["id"].toString().startsWith (prefix) ? 1 : 0;
        return n;
    };

    invokeAll ("a");
    program.send (makeObject ({ { "action", "FRONTEND_READY" } }));
    invokeAll ("b");
    ASSERT_TRUE (roundTrip (program));
    EXPECT_EQ (answered ("a") + answered ("b"), 302);

    // Without the handshake the 100 ids still remembered (51 to 150) are acknowledged, not run.
    invokeAll ("c");
    ASSERT_TRUE (roundTrip (program));
    EXPECT_EQ (answered ("c"), 51);
}

TEST (HostDiagnostics, VerboseStateAndBuildInfo)
{
    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();

    program.send (makeObject ({ { "action", "SET_VERBOSE_DIAG" }, { "enabled", true } }));
    program.send (makeObject ({ { "action", "SET_VERBOSE_DIAG" } }));
    program.send (makeObject ({ { "action", "DUMP_NATIVE_STATE" }, { "id", "s1" } }));
    program.send (makeObject ({ { "action", "GET_NATIVE_BUILD_INFO" }, { "id", "b1" } }));
    ASSERT_TRUE (roundTrip (program));

    EXPECT_EQ (stderrOccurrences (program, "[VERBOSE-DIAG] hot-path logs OFF", 1), 1u);
    const auto stderrText = program.stderrText();
    const auto on = stderrText.find ("[VERBOSE-DIAG] hot-path logs ON");
    const auto off = stderrText.find ("[VERBOSE-DIAG] hot-path logs OFF");
    ASSERT_NE (on, std::string::npos);
    ASSERT_NE (off, std::string::npos);
    EXPECT_LT (on, off);

    const auto dump = lastEvent (program, "NATIVE_STATE_DUMP");
    EXPECT_EQ (dump["id"].toString(), "s1");
    EXPECT_TRUE (dump["state"].isObject());
    EXPECT_GT ((double) dump["state"]["deviceSampleRate"], 0.0);

    const auto info = lastEvent (program, "NATIVE_BUILD_INFO");
    juce::StringArray keys;
    for (const auto& property : info.getDynamicObject()->getProperties())
        keys.add (property.name.toString());
    EXPECT_EQ (keys.joinIntoString (","), "action,id,juceVersion,compiler,buildConfig,buildDate,exePath,exePathB64,exeSizeBytes,exeModifiedIso,"
                                          "osName,is64Bit,computerName,logonName,displayLanguage");
    EXPECT_EQ (info["id"].toString(), "b1");
    EXPECT_EQ (info["juceVersion"].toString(), "JUCE v7.0.5");
    EXPECT_TRUE (info["compiler"].toString().startsWith ("GCC " + juce::String (__GNUC__) + "."));
    EXPECT_TRUE (info["buildConfig"].toString().isNotEmpty());
    const juce::File exe (info["exePath"].toString());
    EXPECT_EQ (exe, juce::File (ProgramProcess::programPath()).getLinkedTarget());
    EXPECT_EQ (decodeBase64 (info["exePathB64"].toString()), info["exePath"].toString());
    EXPECT_EQ ((juce::int64) info["exeSizeBytes"], exe.getSize());
    EXPECT_TRUE ((bool) info["is64Bit"]);
    EXPECT_TRUE (info["osName"].toString().startsWith ("Linux"));
}

TEST (HostExternalUrl, TheOpenerGetsTheUrlUnchangedAsOneArgument)
{
    TempFolder temp;
    const auto bin = temp / "bin";
    ASSERT_TRUE (bin.createDirectory());
    const auto record = temp / "arguments.txt";
    const auto fake = bin.getChildFile ("xdg-open");
    ASSERT_TRUE (fake.replaceWithText ("#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > '" + record.getFullPathName() + ".tmp'\nmv '"
                                       + record.getFullPathName() + ".tmp' '" + record.getFullPathName() + "'\n",
                                       false, false, "\n"));
    ASSERT_TRUE (fake.setExecutePermission (true));
    const auto path = bin.getFullPathName() + ":" + juce::SystemStats::getEnvironmentVariable ("PATH", "/usr/bin:/bin");
    ::setenv ("PATH", path.toRawUTF8(), 1);

    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    program.send (makeObject ({ { "action", "OPEN_EXTERNAL_URL" }, { "url", "javascript:x" } }));
    program.send (makeObject ({ { "action", "OPEN_EXTERNAL_URL" }, { "url", "https://a.test/?q=$(id)" } }));
    ASSERT_TRUE (roundTrip (program));

    for (int i = 0; i < 3000 && ! record.existsAsFile(); ++i)
        juce::Thread::sleep (5);
    EXPECT_EQ (record.loadFileAsString(), "1\nhttps://a.test/?q=$(id)\n") << program.stderrText().substr (program.stderrText().find ("OPEN_EXTERNAL"));
    EXPECT_EQ (stderrOccurrences (program, "[OAuth] OPEN_EXTERNAL_URL (browser launched)", 2), 2u);
}
} // namespace quorvelle::test
