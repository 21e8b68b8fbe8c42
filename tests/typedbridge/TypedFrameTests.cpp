// The typed frame: Base64 decoding, verification limits, the unknown-type handler, empty slots,
// absent payloads and tables of another layout. Malformed input is logged and never dispatched.

#include "TypedTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace quorvelle::test
{
namespace
{
using B = flatbuffers::FlatBufferBuilder;
using T = fb::ToNativePayload;

constexpr const char* decodeFailed = "[TypedBridge] base64 decode failed";
constexpr const char* verifyFailed = "[TypedBridge] FlatBuffer verification failed";

std::vector<uint8_t> bytesOf (const B& b) { return { b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize() }; }

std::vector<uint8_t> validTrackVolume()
{
    B b;
    b.Finish (fb::CreateToNativeMessage (b, T::SetTrackVolume, fb::CreateSetTrackVolumeDirect (b, "tag", "track-one", 0.5f).Union()));
    return bytesOf (b);
}

struct Outcome
{
    std::vector<std::string> requests;
    std::vector<std::string> logLines;
    std::vector<juce::String> unknownLines;
};

Outcome run (const std::string& base64)
{
    CapturingLogger log;
    RecordingBridge r;
    Outcome o;
    o.requests = r.dispatch (base64);
    for (const auto& line : log.lines())
        o.logLines.push_back (line.toStdString());
    o.unknownLines = r.debugLines;
    return o;
}

//==============================================================================
struct TextCase
{
    const char* name;
    std::string text;
};

class MalformedBase64 : public ::testing::TestWithParam<TextCase>
{
};

TEST_P (MalformedBase64, IsLoggedAndNotDispatched)
{
    const auto o = run (GetParam().text);
    EXPECT_TRUE (o.requests.empty());
    EXPECT_TRUE (o.unknownLines.empty());
    EXPECT_EQ (o.logLines, std::vector<std::string> { decodeFailed });
}

std::vector<TextCase> malformedBase64()
{
    const auto valid = toBase64 (validTrackVolume());
    return {
        { "line_break", valid.substr (0, 8) + "\n" + valid.substr (8) },
        { "space", " " + valid },
        { "url_safe_minus", "-" + valid.substr (1) },
        { "url_safe_underscore", valid.substr (0, valid.size() - 4) + "__AA" },
        { "unpadded_length", valid.substr (0, valid.size() - 1) },
        { "padding_first_in_group", "=AAA" },
        { "padding_second_in_group", "A=AA" },
        { "single_character", "A" },
    };
}

INSTANTIATE_TEST_SUITE_P (Frame, MalformedBase64, ::testing::ValuesIn (malformedBase64()),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
struct BytesCase
{
    const char* name;
    std::vector<uint8_t> bytes;
};

class MalformedBuffer : public ::testing::TestWithParam<BytesCase>
{
};

TEST_P (MalformedBuffer, FailsVerificationAndIsNotDispatched)
{
    const auto o = run (toBase64 (GetParam().bytes));
    EXPECT_TRUE (o.requests.empty());
    EXPECT_TRUE (o.unknownLines.empty());
    EXPECT_EQ (o.logLines, std::vector<std::string> { verifyFailed });
}

void putU32 (std::vector<uint8_t>& bytes, size_t at, uint32_t value) { std::memcpy (bytes.data() + at, &value, 4); }
uint32_t getU32 (const std::vector<uint8_t>& bytes, size_t at) { uint32_t v; std::memcpy (&v, bytes.data() + at, 4); return v; }

// Where, inside a valid message, the payload table's offset to its vtable lies.
size_t payloadTablePosition (const std::vector<uint8_t>& bytes)
{
    const auto* root = fb::GetToNativeMessage (bytes.data());
    return (size_t) (static_cast<const uint8_t*> (root->payload()) - bytes.data());
}

std::vector<BytesCase> malformedBuffers()
{
    const auto valid = validTrackVolume();
    std::vector<BytesCase> cases;

    cases.push_back ({ "empty", {} });
    cases.push_back ({ "eleven_bytes", std::vector<uint8_t> (valid.begin(), valid.begin() + 11) });

    auto zeroRoot = valid;
    putU32 (zeroRoot, 0, 0);
    cases.push_back ({ "root_offset_zero", zeroRoot });

    auto rootBeyond = valid;
    putU32 (rootBeyond, 0, (uint32_t) valid.size());
    cases.push_back ({ "root_offset_past_the_end", rootBeyond });

    auto rootHuge = valid;
    putU32 (rootHuge, 0, 0x80000004u);
    cases.push_back ({ "root_offset_not_below_2_31", rootHuge });

    // A vtable whose size is odd.
    auto oddVtable = valid;
    {
        const auto table = payloadTablePosition (valid);
        const auto vtable = (size_t) ((int64_t) table - (int32_t) getU32 (valid, table));
        oddVtable[vtable] |= 1;
    }
    cases.push_back ({ "odd_vtable_size", oddVtable });

    // Cut inside the strings the payload refers to: "track-one" is stored near the end.
    cases.push_back ({ "cut_into_referenced_string", std::vector<uint8_t> (valid.begin(), valid.end() - 6) });

    // A string offset pointing outside the buffer.
    auto stringOutOfRange = valid;
    {
        const auto* msg = fb::GetToNativeMessage (valid.data());
        const auto* table = static_cast<const fb::SetTrackVolume*> (msg->payload());
        const auto fieldAt = (size_t) (reinterpret_cast<const uint8_t*> (table) - valid.data())
                             + reinterpret_cast<const flatbuffers::Table*> (table)->GetOptionalFieldOffset (fb::SetTrackVolume::VT_ID);
        putU32 (stringOutOfRange, fieldAt, 0x00ffff00u);
    }
    cases.push_back ({ "string_offset_out_of_range", stringOutOfRange });

    // A payload table that is not 4-byte aligned.
    auto misaligned = valid;
    {
        const auto* root = fb::GetToNativeMessage (valid.data());
        const auto at = (size_t) (reinterpret_cast<const uint8_t*> (root) - valid.data())
                        + reinterpret_cast<const flatbuffers::Table*> (root)->GetOptionalFieldOffset (fb::ToNativeMessage::VT_PAYLOAD);
        putU32 (misaligned, at, getU32 (valid, at) + 1);
    }
    cases.push_back ({ "misaligned_payload_table", misaligned });

    return cases;
}

INSTANTIATE_TEST_SUITE_P (Frame, MalformedBuffer, ::testing::ValuesIn (malformedBuffers()),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
TEST (TypedFrame, ValidBufferPassesBeforeItIsCorrupted)
{
    const auto o = run (toBase64 (validTrackVolume()));
    EXPECT_EQ (o.requests, std::vector<std::string> { R"({action:"SET_TRACK_VOLUME",id:"track-one",volume:0.5d})" });
    EXPECT_TRUE (o.logLines.empty());
}

// More than a million tables in one message fails, even though the buffer is small: every
// element of this vector is the same table.
TEST (TypedFrame, TableCountLimit)
{
    auto build = [] (size_t elements)
    {
        B b;
        const auto cue = fb::CreateMidiCueEntry (b);
        std::vector<flatbuffers::Offset<fb::MidiCueEntry>> cues (elements, cue);
        const auto payload = fb::CreateUpdateMidiCuesDirect (b, nullptr, &cues);
        b.Finish (fb::CreateToNativeMessage (b, T::UpdateMidiCues, payload.Union()));
        return toBase64 (b);
    };

    // Root + payload + elements: 999,998 elements make exactly 1,000,000 tables.
    RecordingBridge r;
    size_t delivered = 0;
    r.bridge.onUpdateMidiCues = [&] (const TypedBridge::UpdateMidiCuesArgs& a) { delivered = a.cues.size(); };
    r.bridge.dispatchBase64 (build (999'998));
    EXPECT_EQ (delivered, 999'998u);

    const auto o = run (build (999'999));
    EXPECT_TRUE (o.requests.empty());
    EXPECT_EQ (o.logLines, std::vector<std::string> { verifyFailed });
}

struct UnknownCase
{
    const char* name;
    int type;
    std::function<std::string()> make;
};

class UnknownType : public ::testing::TestWithParam<UnknownCase>
{
};

TEST_P (UnknownType, ReachesTheUnknownTypeHandlerOnly)
{
    const auto& c = GetParam();
    const auto o = run (c.make());
    EXPECT_TRUE (o.requests.empty());
    EXPECT_TRUE (o.logLines.empty());
    ASSERT_EQ (o.unknownLines.size(), 1u);
    EXPECT_EQ (o.unknownLines[0], unknownPayloadTypeLine (c.type));
    EXPECT_EQ (o.unknownLines[0].toStdString(), "[TypedBridge] unknown payload type=" + std::to_string (c.type)
                                                  + " \xe2\x80\x94 Sprint 1 progresivo, agregar al switch al migrar la familia.");
}

// A root whose payload_type is `type` and whose payload points at `payload` bytes.
std::string rawRoot (uint8_t type, bool withPayload)
{
    B b;
    flatbuffers::Offset<void> payload;
    if (withPayload)
        payload = fb::CreateReserved35Direct (b, "x").Union();
    const auto start = b.StartTable();
    if (withPayload)
        b.AddOffset (fb::ToNativeMessage::VT_PAYLOAD, payload);
    b.AddElement<uint8_t> (fb::ToNativeMessage::VT_PAYLOAD_TYPE, type, 0);
    b.Finish (flatbuffers::Offset<fb::ToNativeMessage> (b.EndTable (start)));
    return toBase64 (b);
}

std::vector<UnknownCase> unknownCases()
{
    return {
        { "type_absent", 0, [] { B b; b.Finish (fb::CreateToNativeMessage (b)); return toBase64 (b); } },
        { "type_35", 35, [] { return inbound (T::Reserved35, [] (B& b) { return fb::CreateReserved35Direct (b, "a").Union(); }); } },
        { "type_102", 102, []
          {
              return inbound (T::Reserved102, [] (B& b)
              {
                  std::vector<std::string> items { "x", "y" };
                  const auto v = b.CreateVectorOfStrings (items);
                  return fb::CreateReserved102 (b, b.CreateString ("a"), b.CreateString ("b"), v).Union();
              });
          } },
        { "type_103", 103, [] { return inbound (T::Reserved103, [] (B& b) { return fb::CreateReserved103 (b).Union(); }); } },
        { "type_110", 110, [] { return inbound (T::Reserved110, [] (B& b) { return fb::CreateReserved110Direct (b, "z").Union(); }); } },
        { "type_111", 111, [] { return rawRoot (111, true); } },
        { "type_255_without_payload", 255, [] { return rawRoot (255, false); } },
        // The payload of a type without a case is not verified at all: here it points at a
        // string, not a table.
        { "type_200_payload_is_no_table", 200, []
          {
              B b;
              const auto notATable = b.CreateString ("\xff\xff\xff\x7f not a table");
              const auto start = b.StartTable();
              b.AddOffset (fb::ToNativeMessage::VT_PAYLOAD, notATable);
              b.AddElement<uint8_t> (fb::ToNativeMessage::VT_PAYLOAD_TYPE, 200, 0);
              b.Finish (flatbuffers::Offset<fb::ToNativeMessage> (b.EndTable (start)));
              return toBase64 (b);
          } },
    };
}

INSTANTIATE_TEST_SUITE_P (Frame, UnknownType, ::testing::ValuesIn (unknownCases()),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST (TypedFrame, HandledTypeWithoutPayloadOrWithEmptySlotDoesNothing)
{
    CapturingLogger log;

    RecordingBridge r;
    EXPECT_TRUE (r.dispatch (rawRoot ((uint8_t) T::TransportPlay, false)).empty());

    TypedBridge empty (nullptr);
    empty.dispatchBase64 (inbound (T::TransportPlay, [] (B& b) { return fb::CreateTransportPlay (b).Union(); }));
    empty.dispatchBase64 (rawRoot (0, false));   // no unknown-type handler either

    EXPECT_TRUE (r.debugLines.empty());
    EXPECT_TRUE (log.lines().empty());
}

// Verification checks sizes, alignment and bounds, not meaning: a table laid out for another
// type is read as the declared one, an i32 stands where an f32 is expected, and fields beyond the
// known ones are ignored.
TEST (TypedFrame, TablesAreReadAsTheirDeclaredType)
{
    RecordingBridge r;

    // SET_TRACK_SOLO's table (tag, id, bool) declared as SET_TRACK_MUTE.
    EXPECT_EQ (r.dispatch (inbound (T::SetTrackMute, [] (B& b) { return fb::CreateSetTrackSoloDirect (b, "t", "x", true).Union(); })),
               std::vector<std::string> { R"({action:"SET_TRACK_MUTE",id:"x",muted:true})" });

    // An i32 of 0x3f800000 where SET_MASTER_VOLUME expects an f32: read as 1.0f.
    EXPECT_EQ (r.dispatch (inbound (T::SetMasterVolume, [] (B& b)
                                    {
                                        const auto start = b.StartTable();
                                        b.AddElement<int32_t> (fb::SetMasterVolume::VT_VOLUME, 0x3f800000, 0);
                                        return flatbuffers::Offset<void> (b.EndTable (start));
                                    })),
               std::vector<std::string> { R"({action:"SET_MASTER_VOLUME",volume:1d})" });

    // A newer front end's extra fields after the known ones.
    EXPECT_EQ (r.dispatch (inbound (T::SetBufferSize, [] (B& b)
                                    {
                                        const auto extra = b.CreateString ("future");
                                        const auto start = b.StartTable();
                                        b.AddElement<int32_t> (fb::SetBufferSize::VT_BUFFERSIZE, 256, 0);
                                        b.AddOffset (fb::SetBufferSize::VT_BUFFERSIZE + 2, extra);
                                        b.AddElement<double> (fb::SetBufferSize::VT_BUFFERSIZE + 4, 9.0, 0.0);
                                        return flatbuffers::Offset<void> (b.EndTable (start));
                                    })),
               std::vector<std::string> { R"({action:"SET_BUFFER_SIZE",bufferSize:256i})" });
}

// The record keeps a string's bytes whole, zero bytes included; only the JSON text is cut.
TEST (TypedFrame, RecordsKeepZeroBytes)
{
    TypedBridge bridge (nullptr);
    std::string tag, file;
    bridge.onPreloadPad = [&] (const TypedBridge::PadFileArgs& a) { tag = a.tag; file = a.file; };
    bridge.dispatchBase64 (inbound (T::PreloadPad, [] (B& b)
    {
        const auto t = b.CreateString ("t\0g", 3);
        const auto f = b.CreateString ("a\0b", 3);
        return fb::CreatePreloadPad (b, t, f).Union();
    }));
    EXPECT_EQ (tag, std::string ("t\0g", 3));
    EXPECT_EQ (file, std::string ("a\0b", 3));
}

TEST (TypedFrame, AbsentSubTablesLeaveRecordValuesEmpty)
{
    TypedBridge bridge (nullptr);
    TypedBridge::BatchMixStateArgs batch;
    TypedBridge::EnqueueDownloadArgs download;
    bridge.onBatchMixState = [&] (const auto& a) { batch = a; };
    bridge.onEnqueueDownload = [&] (const auto& a) { download = a; };

    bridge.dispatchBase64 (inbound (T::BatchMixState, [] (B& b) { return fb::CreateBatchMixState (b).Union(); }));
    EXPECT_FALSE (batch.hasMaster);
    EXPECT_FALSE (batch.hasGuide);
    EXPECT_FALSE (batch.hasMetronome);
    EXPECT_EQ (batch.masterVolume, 0.0f);
    EXPECT_TRUE (batch.tracks.empty());

    bridge.dispatchBase64 (inbound (T::EnqueueDownload, [] (B& b) { return fb::CreateEnqueueDownloadDirect (b, nullptr, "af").Union(); }));
    EXPECT_EQ (download.audioFileId, "af");
    EXPECT_EQ (download.songId, "");
    EXPECT_EQ (download.padFileId, "");
}

// An empty text decodes to nothing and fails verification; it is not a decoding failure.
TEST (TypedFrame, EmptyTextFailsVerification)
{
    const auto o = run ("");
    EXPECT_EQ (o.logLines, std::vector<std::string> { verifyFailed });
}
} // namespace
} // namespace quorvelle::test
