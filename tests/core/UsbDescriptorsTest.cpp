#include "tests/support/Base64Text.h"
#include "core/UsbDescriptors.h"

#include <gtest/gtest.h>

#include <initializer_list>

using namespace quorvelle::core;

namespace
{
using Bytes = std::vector<uint8_t>;

uint8_t lo (unsigned v) { return static_cast<uint8_t> (v & 0xFF); }
uint8_t hi (unsigned v) { return static_cast<uint8_t> ((v >> 8) & 0xFF); }

Bytes join (std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert (out.end(), p.begin(), p.end());
    return out;
}

// Standard descriptors.
Bytes device (unsigned vid, unsigned pid, unsigned bcd, uint8_t length = 18)
{
    Bytes d { 18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, lo (vid), hi (vid), lo (pid), hi (pid), lo (bcd), hi (bcd), 1, 2, 3, 1 };
    d.resize (length);
    d[0] = length;
    return d;
}
Bytes configuration (unsigned totalLength) { return { 9, 2, lo (totalLength), hi (totalLength), 3, 1, 0, 0x80, 50 }; }
Bytes association() { return { 8, 0x0B, 0, 3, 1, 0, 0x20, 0 }; }
Bytes interface (uint8_t number, uint8_t alt, uint8_t cls, uint8_t sub, uint8_t protocol)
{
    return { 9, 4, number, alt, 1, cls, sub, protocol, 0 };
}
// Audio-class 1.0 endpoints carry bRefresh and bSynchAddress (9 bytes), 2.0 ones do not (7).
Bytes endpoint (uint8_t address, uint8_t attributes, unsigned maxPacket, uint8_t interval)
{
    return { 7, 5, address, attributes, lo (maxPacket), hi (maxPacket), interval };
}
Bytes endpoint1 (uint8_t address, uint8_t attributes, unsigned maxPacket, uint8_t interval, uint8_t syncAddress)
{
    return { 9, 5, address, attributes, lo (maxPacket), hi (maxPacket), interval, 0, syncAddress };
}
Bytes classEndpoint (uint8_t attributes) { return { 7, 0x25, 1, attributes, 0, 0, 0 }; }

// Class-specific interface descriptors.
Bytes acHeader (unsigned bcdAdc) { return { 9, 0x24, 1, lo (bcdAdc), hi (bcdAdc), 0x40, 0, 0, 0 }; }
Bytes clockSource (uint8_t id, uint8_t attributes, uint8_t controls) { return { 8, 0x24, 0x0A, id, attributes, controls, 0, 0 }; }
Bytes clockSelector (uint8_t id, Bytes pins)
{
    Bytes d { static_cast<uint8_t> (7 + pins.size()), 0x24, 0x0B, id, static_cast<uint8_t> (pins.size()) };
    d.insert (d.end(), pins.begin(), pins.end());
    d.push_back (0x03);
    d.push_back (0);
    return d;
}
Bytes general2 (uint8_t terminal, uint8_t channels) { return { 16, 0x24, 1, terminal, 0, 1, 1, 0, 0, 0, channels, 3, 0, 0, 0, 0 }; }
Bytes format2 (uint8_t subslot, uint8_t bits) { return { 6, 0x24, 2, 1, subslot, bits }; }
Bytes general1 (uint8_t terminal) { return { 7, 0x24, 1, terminal, 1, 1, 0 }; }
Bytes format1 (uint8_t channels, uint8_t subslot, uint8_t bits, std::initializer_list<unsigned> rates, int declared = -1)
{
    Bytes d { 0, 0x24, 2, 1, channels, subslot, bits, static_cast<uint8_t> (declared >= 0 ? declared : static_cast<int> (rates.size())) };
    for (const auto r : rates)
    {
        d.push_back (lo (r));
        d.push_back (hi (r));
        d.push_back (static_cast<uint8_t> (r >> 16));
    }
    d[0] = static_cast<uint8_t> (d.size());
    return d;
}

Bytes withTotalLength (Bytes config)
{
    // Patches the configuration descriptor found after an 18-byte device descriptor.
    const auto total = static_cast<unsigned> (config.size() - 18);
    config[18 + 2] = lo (total);
    config[18 + 3] = hi (total);
    return config;
}

std::string base64 (const std::vector<uint8_t>& bytes) { return quorvelle::test::encodeBase64 (bytes); }

Json parse (const Bytes& bytes)
{
    return parseUsbDescriptors ({ { "rawDescriptorsB64", base64 (bytes) } });
}

Json warnings (std::initializer_list<std::string> texts)
{
    Json out = Json::array();
    for (const auto& t : texts)
        out.push_back (t);
    return out;
}

// A UAC 1 interface: one output stream (async, optional feedback endpoint) with 44.1 and 48 kHz,
// and an adaptive one with 48 and 96 kHz.
Bytes uac1Interface (bool feedbackEndpoint)
{
    Bytes out = join ({ device (0x0582, 0x0074, 0x0100), configuration (0), interface (0, 0, 1, 1, 0), acHeader (0x0100),
                        interface (1, 0, 1, 2, 0), interface (1, 1, 1, 2, 0), general1 (1), format1 (2, 3, 24, { 44100, 48000 }),
                        endpoint1 (0x01, 0x05, 288, 1, feedbackEndpoint ? 0x81 : 0), classEndpoint (0x80) });
    if (feedbackEndpoint)
        out = join ({ out, endpoint1 (0x81, 0x11, 3, 1, 0) });
    return withTotalLength (join ({ out, interface (1, 2, 1, 2, 0), general1 (1), format1 (2, 2, 16, { 48000, 96000, 48000 }),
                                    endpoint1 (0x02, 0x09, 192, 1, 0) }));
}
} // namespace

TEST (UsbDescriptors, Uac2InterfaceWithTwoClocks)
{
    const auto bytes = withTotalLength (join ({
        device (0x1397, 0x0508, 0x0112), configuration (0), association(),
        interface (0, 0, 1, 1, 0x20), acHeader (0x0200), clockSource (0x29, 0x03, 0x07), clockSource (0x2A, 0x00, 0x01),
        clockSelector (0x28, { 0x29, 0x2A }),
        interface (1, 0, 1, 2, 0x20), // zero-bandwidth setting: no stream
        interface (1, 1, 1, 2, 0x20), general2 (2, 8), format2 (4, 24), endpoint (0x01, 0x05, 1024, 1), classEndpoint (0),
        endpoint (0x81, 0x11, 4, 4),
        interface (2, 1, 1, 2, 0x20), general2 (5, 10), format2 (4, 24), endpoint (0x82, 0x25, 1024, 1),
        interface (3, 0, 1, 3, 0), endpoint (0x03, 0x02, 64, 0), // MIDI: its endpoints are not reported
    }));
    const auto r = parse (bytes);
    EXPECT_EQ (r.at ("vendorId"), 0x1397);
    EXPECT_EQ (r.at ("productId"), 0x0508);
    EXPECT_EQ (r.at ("bcdDevice"), 0x0112);
    EXPECT_EQ (r.at ("uacVersion"), "uac2");
    EXPECT_EQ (r.at ("clockSources"), Json::parse (R"([{"frequencyWritable":true,"id":41,"isInternal":true},
                                                       {"frequencyWritable":false,"id":42,"isInternal":false}])"));
    EXPECT_EQ (r.at ("clockSelectors"), Json::parse (R"([{"id":40,"inputPins":[41,42]}])"));
    EXPECT_EQ (r.at ("streams"), Json::parse (R"([
        {"altSetting":1,"bitResolution":24,"endpoints":[
            {"address":1,"interval":1,"isInput":false,"isIsochronous":true,"maxPacketSize":1024,"syncType":"async","usage":"data"},
            {"address":129,"interval":4,"isInput":true,"isIsochronous":true,"maxPacketSize":4,"syncType":"none","usage":"feedback"}],
         "hasExplicitFeedbackEp":true,"interfaceNumber":1,"isOutputStream":true,"needsFeedbackSource":false,"numChannels":8,"subslotSize":4},
        {"altSetting":1,"bitResolution":24,"endpoints":[
            {"address":130,"interval":1,"isInput":true,"isIsochronous":true,"maxPacketSize":1024,"syncType":"async","usage":"implicit-feedback-data"}],
         "hasExplicitFeedbackEp":false,"interfaceNumber":2,"isOutputStream":false,"needsFeedbackSource":false,"numChannels":10,"subslotSize":4}])"));
    EXPECT_EQ (r.at ("maxOutputChannels"), 8);
    EXPECT_EQ (r.at ("outputSampleRates"), Json::array());
    EXPECT_FALSE (r.at ("anyOutputNeedsFeedback").get<bool>());
    EXPECT_TRUE (r.at ("hasImplicitFeedbackInput").get<bool>());
    EXPECT_TRUE (r.at ("hasAudioControl").get<bool>());
    EXPECT_TRUE (r.at ("hasMidiStreamingInterface").get<bool>());
    EXPECT_FALSE (r.at ("hasVendorSpecificInterface").get<bool>());
    EXPECT_EQ (r.at ("warnings"), Json::array());
}

TEST (UsbDescriptors, AsynchronousOutputWithAndWithoutFeedbackEndpoint)
{
    const auto with = parse (uac1Interface (true));
    const auto without = parse (uac1Interface (false));
    for (const auto* r : { &with, &without })
    {
        EXPECT_EQ (r->at ("uacVersion"), "uac1");
        EXPECT_EQ (r->at ("outputSampleRates"), Json::array ({ 44100, 48000, 96000 }));
        EXPECT_EQ (r->at ("maxOutputChannels"), 2);
        ASSERT_EQ (r->at ("streams").size(), 2u);
        EXPECT_EQ (r->at ("streams")[1].at ("sampleRates"), Json::array ({ 48000, 96000, 48000 })) << "descriptor order, repeats kept";
        EXPECT_TRUE (r->at ("streams")[1].at ("isOutputStream").get<bool>()) << "adaptive output";
        EXPECT_FALSE (r->at ("streams")[1].at ("needsFeedbackSource").get<bool>());
        EXPECT_EQ (r->at ("warnings"), Json::array());
    }
    EXPECT_FALSE (with.at ("streams")[0].at ("needsFeedbackSource").get<bool>());
    EXPECT_TRUE (with.at ("streams")[0].at ("hasExplicitFeedbackEp").get<bool>());
    EXPECT_FALSE (with.at ("anyOutputNeedsFeedback").get<bool>());
    EXPECT_EQ (with.at ("streams")[0].at ("endpoints")[0],
               Json::parse (R"({"address":1,"interval":1,"isInput":false,"isIsochronous":true,"maxPacketSize":288,
                                "maxPacketsOnly":true,"syncAddress":129,"syncType":"async","usage":"data"})"));

    EXPECT_TRUE (without.at ("streams")[0].at ("needsFeedbackSource").get<bool>());
    EXPECT_FALSE (without.at ("streams")[0].at ("hasExplicitFeedbackEp").get<bool>());
    EXPECT_TRUE (without.at ("anyOutputNeedsFeedback").get<bool>());
    EXPECT_FALSE (without.at ("streams")[0].at ("endpoints")[0].contains ("syncAddress"));
}

TEST (UsbDescriptors, RateTablesAndFormats)
{
    const auto stream = [] (const Bytes& format) {
        return parse (join ({ interface (0, 0, 1, 1, 0), acHeader (0x0100), interface (1, 1, 1, 2, 0), general1 (1), format,
                              endpoint1 (0x01, 0x09, 192, 1, 0) }));
    };
    const auto range = stream (format1 (2, 2, 16, { 8000, 192000 }, 0));
    EXPECT_EQ (range.at ("streams")[0].at ("minRate"), 8000);
    EXPECT_EQ (range.at ("streams")[0].at ("maxRate"), 192000);
    EXPECT_FALSE (range.at ("streams")[0].contains ("sampleRates"));
    EXPECT_EQ (range.at ("outputSampleRates"), Json::array()) << "ranges never enter the output rates";

    const auto truncated = stream (format1 (2, 2, 16, { 44100, 48000 }, 3));
    EXPECT_EQ (truncated.at ("streams")[0].at ("sampleRates"), Json::array ({ 44100, 48000 }));
    EXPECT_EQ (truncated.at ("warnings"), warnings ({ "tabla de rates truncada en iface 1" }));

    const auto typeTwo = stream ({ 8, 0x24, 2, 2, 0, 1, 0, 1 });
    EXPECT_EQ (typeTwo.at ("warnings"), warnings ({ "format type no-PCM (2) en iface 1" }));
    EXPECT_EQ (typeTwo.at ("streams").size(), 1u) << "kept for its endpoint";
}

TEST (UsbDescriptors, VersionsAndStreamLayouts)
{
    // bcdADC 0x0201: unknown, no clocks, streams read with the 1.0 layout.
    const auto unknown = parse (join ({ interface (0, 0, 1, 1, 0x20), acHeader (0x0201), clockSource (1, 1, 3), interface (1, 1, 1, 2, 0x20),
                                        general1 (1), format1 (2, 2, 16, { 48000 }), endpoint (0x01, 0x09, 192, 1) }));
    EXPECT_EQ (unknown.at ("uacVersion"), "unknown");
    EXPECT_EQ (unknown.at ("clockSources"), Json::array());
    EXPECT_EQ (unknown.at ("streams")[0].at ("sampleRates"), Json::array ({ 48000 }));

    // A streaming interface before any header takes its layout from the protocol; a later header
    // does not change it. A second audio function's header is ignored with a warning.
    const auto early = parse (join ({ interface (1, 1, 1, 2, 0x20), general2 (1, 6), format2 (3, 24), endpoint (0x01, 0x09, 192, 1),
                                      interface (0, 0, 1, 1, 0), acHeader (0x0100), interface (0, 0, 1, 1, 0), acHeader (0x0300) }));
    EXPECT_EQ (early.at ("uacVersion"), "uac1");
    EXPECT_EQ (early.at ("streams")[0].at ("numChannels"), 6);
    EXPECT_EQ (early.at ("warnings"), warnings ({ "AC header adicional ignorado en offset 65 (composite con más de una función de audio)" }));

    const auto uac3 = parse (join ({ interface (0, 0, 1, 1, 0x30), acHeader (0x0300) }));
    EXPECT_EQ (uac3.at ("uacVersion"), "uac3");
    const auto shortHeader = parse (join ({ interface (0, 0, 1, 1, 0), Bytes { 4, 0x24, 1, 0 } }));
    EXPECT_EQ (shortHeader.at ("uacVersion"), "unknown");

    const auto flags = parse (join ({ interface (0, 0, 0xFF, 0, 0), interface (1, 0, 8, 6, 0x50), endpoint (0x81, 0x02, 512, 0) }));
    EXPECT_TRUE (flags.at ("hasVendorSpecificInterface").get<bool>());
    EXPECT_TRUE (flags.at ("hasMassStorageInterface").get<bool>());
    EXPECT_EQ (flags.at ("streams"), Json::array());
}

TEST (UsbDescriptors, MalformedDumps)
{
    const Json none = parseUsbDescriptors (Json::object());
    EXPECT_EQ (none.at ("warnings"), warnings ({ "buffer vacío" }));
    EXPECT_EQ (none.at ("uacVersion"), "none");
    EXPECT_EQ (none.at ("vendorId"), 0);
    EXPECT_EQ (parseUsbDescriptors ({ { "rawDescriptorsB64", "-_ \n" } }).at ("warnings"), warnings ({ "buffer vacío" }));
    EXPECT_EQ (parse ({ 9 }).at ("warnings"), Json::array()) << "one byte: nothing to walk";

    struct Case
    {
        const char* what;
        Bytes bytes;
        Json warnings;
    };
    const auto stream = join ({ interface (1, 1, 1, 2, 0), general1 (1), format1 (2, 2, 16, { 48000 }) });
    const std::vector<Case> cases {
        { "zero length", { 0, 0, 9, 4 }, warnings ({ "bLength inválido (<2) en offset 0" }) },
        { "length one after a device", join ({ device (1, 2, 3), Bytes { 1, 2 } }), warnings ({ "bLength inválido (<2) en offset 18" }) },
        { "truncated", join ({ device (1, 2, 3), Bytes { 9, 4, 0, 0 } }), warnings ({ "descriptor truncado en offset 18" }) },
        { "short device", device (0x1234, 0x5678, 0x9ABC, 12), warnings ({ "device descriptor corto (12 bytes)" }) },
        { "total length past the end", join ({ configuration (500), stream }), warnings ({ "wTotalLength del config excede el buffer (500 desde offset 0)" }) },
        { "second configuration",
          join ({ configuration (static_cast<unsigned> (9 + stream.size())), stream, configuration (9), interface (2, 1, 1, 2, 0), general1 (2) }),
          warnings ({ "configuración adicional omitida en offset " + std::to_string (9 + stream.size()) + " (solo se parsea la activa)" }) },
    };
    for (const auto& c : cases)
        EXPECT_EQ (parse (c.bytes).at ("warnings"), c.warnings) << c.what;

    const auto shortDevice = parse (device (0x1234, 0x5678, 0x9ABC, 12));
    EXPECT_EQ (shortDevice.at ("vendorId"), 0x1234);
    EXPECT_EQ (shortDevice.at ("productId"), 0x5678);
    EXPECT_EQ (shortDevice.at ("bcdDevice"), 0);

    // What was read before a stop is kept: the open stream is closed and reported.
    const auto second = parse (cases[5].bytes);
    ASSERT_EQ (second.at ("streams").size(), 1u);
    EXPECT_EQ (second.at ("streams")[0].at ("interfaceNumber"), 1);
    const auto past = parse (cases[4].bytes);
    EXPECT_EQ (past.at ("streams")[0].at ("sampleRates"), Json::array ({ 48000 }));
    const auto truncated = parse (join ({ stream, Bytes { 9, 5, 1 } }));
    EXPECT_EQ (truncated.at ("streams").size(), 1u);
    EXPECT_EQ (truncated.at ("warnings"), warnings ({ "descriptor truncado en offset " + std::to_string (stream.size()) }));
}

TEST (UsbDescriptors, FieldReadersStayInsideTheDescriptor)
{
    const uint8_t d[6] = { 6, 0x24, 0x10, 0x20, 0x30, 0x40 };
    EXPECT_EQ (byteAt (d, 6, 5), 0x40);
    EXPECT_EQ (byteAt (d, 6, 6), 0);
    EXPECT_EQ (byteAt (d, 4, 5), 0);
    EXPECT_EQ (readU24 (d, 6, 3), 0x403020u);
    EXPECT_EQ (readU24 (d, 6, 4), 0u);
    EXPECT_EQ (readU24 (d, 5, 3), 0u);
}
