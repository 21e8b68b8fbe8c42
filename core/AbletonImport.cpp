#include "core/AbletonImport.h"

#include "core/CountIn.h"
#include "core/IntegerText.h"
#include "core/SectionMarkers.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace quorvelle::core
{
namespace
{
    // Runs the inflater over the first raw DEFLATE stream, handing each produced chunk to `sink`
    // (which returns false to give up). True when the stream ended cleanly.
    template <typename Sink>
    bool runInflate (const uint8_t* bytes, std::size_t length, Sink&& sink)
    {
        z_stream zs {};
        if (inflateInit2 (&zs, -15) != Z_OK)
            return false;

        unsigned char out[65536];
        std::size_t offset = 0;
        bool ended = false;
        for (;;)
        {
            if (zs.avail_in == 0 && offset < length)
            {
                const auto chunk = std::min<std::size_t> (length - offset, UINT_MAX);
                zs.next_in = const_cast<Bytef*> (bytes + offset);
                zs.avail_in = static_cast<uInt> (chunk);
                offset += chunk;
            }
            zs.next_out = out;
            zs.avail_out = sizeof (out);
            const int status = inflate (&zs, Z_SYNC_FLUSH);
            const std::size_t produced = sizeof (out) - zs.avail_out;
            if (produced > 0 && ! sink (out, produced))
                break;
            if (status == Z_STREAM_END)
            {
                ended = true;
                break;
            }
            if (status != Z_OK) // corrupt data, or no progress: the input ends inside the stream
                break;
        }
        inflateEnd (&zs);
        return ended;
    }

    pugi::xml_node childElement (const pugi::xml_node& node, const char* name)
    {
        for (auto child = node.first_child(); child; child = child.next_sibling())
            if (child.type() == pugi::node_element && std::strcmp (child.name(), name) == 0)
                return child;
        return {};
    }

    // A numeric attribute; missing, or present but not finite: the fallback. A present text that
    // is not a number reads as 0.
    double attributeNumber (const pugi::xml_node& node, const char* name, double fallback)
    {
        const auto attribute = node.attribute (name);
        if (! attribute)
            return fallback;
        const double value = attribute.as_double();
        return std::isfinite (value) ? value : fallback;
    }

    int32_t attributeInt (const pugi::xml_node& node, const char* name, int32_t fallback)
    {
        const auto attribute = node.attribute (name);
        return attribute ? attribute.as_int() : fallback;
    }

    // "Value" of the node itself, else of its child "Manual", else the default text.
    std::string signaturePartText (const pugi::xml_node& node, const char* fallback)
    {
        if (const auto own = node.attribute ("Value"))
            return own.value();
        return childElement (node, "Manual").attribute ("Value").as_string (fallback);
    }

    // Numerator and denominator of a RemoteableTimeSignature. A denominator value up to 5 is an
    // exponent of 2; a negative one gives no signature. Throws the conversion's texts.
    std::optional<TimeSignature> readRemoteableSignature (const pugi::xml_node& node)
    {
        const int32_t numerator = convertStoi (signaturePartText (childElement (node, "Numerator"), "4"));
        const int32_t denominatorValue = convertStoi (signaturePartText (childElement (node, "Denominator"), "2"));
        if (denominatorValue < 0)
            return std::nullopt;
        const int32_t denominator = denominatorValue <= 5 ? (1 << denominatorValue) : denominatorValue;
        return TimeSignature { numerator, denominator };
    }

    // Sort keys compare with NaN last, so every sort sees a strict weak ordering.
    bool lessTime (double a, double b)
    {
        if (std::isnan (a))
            return false;
        return std::isnan (b) || a < b;
    }

    pugi::xpath_node_set selectInOrder (const pugi::xml_node& node, const char* query)
    {
        auto set = node.select_nodes (query);
        set.sort();
        return set;
    }
} // namespace

std::optional<TimeSignature> decodeTimeSignatureEnum (int32_t value)
{
    if (value < 0 || value / 99 > 4)
        return std::nullopt;
    return TimeSignature { value % 99 + 1, 1 << (value / 99) };
}

pugi::xml_node findFirstElement (const pugi::xml_node& node, const char* name)
{
    if (! node)
        return {};
    if (node.type() == pugi::node_element && std::strcmp (node.name(), name) == 0)
        return node;

    // Iterative walk in document order, so deep nesting costs no stack.
    auto current = node.first_child();
    while (current)
    {
        if (current.type() == pugi::node_element && std::strcmp (current.name(), name) == 0)
            return current;
        if (auto child = current.first_child())
        {
            current = child;
            continue;
        }
        while (current != node && ! current.next_sibling())
            current = current.parent();
        if (current == node)
            break;
        current = current.next_sibling();
    }
    return {};
}

pugi::xml_node findElementPath (const pugi::xml_node& node, std::initializer_list<const char*> names)
{
    pugi::xml_node current;
    bool first = true;
    for (const char* name : names)
    {
        current = first ? findFirstElement (node, name) : childElement (current, name);
        first = false;
        if (! current)
            return {};
    }
    return current;
}

std::string inflateRawDeflate (const uint8_t* bytes, std::size_t length, std::size_t maxOutput)
{
    if (bytes == nullptr || length == 0)
        return {};

    // First pass counts, so a stream that inflates beyond the cap is refused without holding
    // its output, and the text is allocated once at its exact size.
    std::size_t total = 0;
    const bool complete = runInflate (bytes, length, [&] (const unsigned char*, std::size_t n) {
        total += n;
        return total <= maxOutput;
    });
    if (! complete || total > maxOutput)
        return {};

    std::string text;
    text.reserve (total);
    const bool again = runInflate (bytes, length, [&] (const unsigned char* data, std::size_t n) {
        text.append (reinterpret_cast<const char*> (data), n);
        return true;
    });
    return again ? text : std::string {};
}

std::string decompressAbletonSet (const uint8_t* bytes, std::size_t n, std::size_t maxOutput)
{
    if (bytes == nullptr || n < 2)
        return {};

    if (bytes[0] == 0x1F)
    {
        if (bytes[1] != 0x8B || n < 10 || bytes[2] != 8)
            return {};
        const uint8_t flags = bytes[3];
        std::size_t header = 10;
        if ((flags & 0x04) != 0)
        {
            if (n < 12)
                return {};
            const std::size_t extraLength = static_cast<std::size_t> (bytes[10]) | (static_cast<std::size_t> (bytes[11]) << 8);
            header += 2 + extraLength;
            if (header > n)
                return {};
        }
        for (const uint8_t flag : { uint8_t { 0x08 }, uint8_t { 0x10 } })
        {
            if ((flags & flag) == 0)
                continue;
            while (header < n && bytes[header] != 0)
                ++header;
            if (header < n)
                ++header;
        }
        if ((flags & 0x02) != 0)
            header += 2;
        if (header > n || n - header < 8)
            return {};
        return inflateRawDeflate (bytes + header, n - header - 8, maxOutput);
    }

    if ((bytes[0] & 0x0F) == 8)
    {
        if (n < 6)
            return {};
        return inflateRawDeflate (bytes + 2, n - 6, maxOutput);
    }
    return {};
}

LiveSetImport readAbletonLiveSet (const std::string& text)
{
    LiveSetImport set;
    if (text.size() < 8 || text.find ("<LiveSet") == std::string::npos)
        return set;

    pugi::xml_document doc;
    if (! doc.load_string (text.c_str()))
        return set;
    set.parsed = true;

    // Base tempo.
    double baseTempo = attributeNumber (childElement (findFirstElement (doc, "Tempo"), "Manual"), "Value", 120.0);

    const auto master = findFirstElement (doc, "MasterTrack");

    // Tempo automation of the master track.
    std::vector<TempoPoint> points;
    if (master)
    {
        const auto events = findElementPath (master, { "Mixer", "Tempo", "ArrangerAutomation", "Events" });
        for (auto ev = events.first_child(); ev; ev = ev.next_sibling())
        {
            if (ev.type() != pugi::node_element || std::strcmp (ev.name(), "FloatEvent") != 0)
                continue;
            const double time = attributeNumber (ev, "Time", 0.0);
            const double value = attributeNumber (ev, "Value", 120.0);
            if (time >= 0.0)
                points.push_back ({ time, value });
            else if (points.empty())
                baseTempo = value;
        }
    }
    std::stable_sort (points.begin(), points.end(), [] (const TempoPoint& a, const TempoPoint& b) { return lessTime (a.time, b.time); });
    if (points.empty() || points.front().time > 0.0)
        points.insert (points.begin(), { 0.0, baseTempo });
    set.tempoPoints = points;

    // Global time signature.
    std::optional<TimeSignature> global;
    bool globalFromMixer = false;
    if (master)
    {
        if (const auto manual = findElementPath (master, { "Mixer", "TimeSignature", "Manual" }))
        {
            global = decodeTimeSignatureEnum (attributeInt (manual, "Value", -1));
            globalFromMixer = global.has_value();
        }
    }
    if (! globalFromMixer)
    {
        const auto matches = selectInOrder (doc, "//TimeSignature/TimeSignatures/RemoteableTimeSignature");
        pugi::xml_node chosen;
        for (const auto& match : matches)
        {
            const auto time = childElement (match.node(), "Time");
            if (time && attributeNumber (time, "Value", 0.0) == 0.0)
            {
                chosen = match.node();
                break;
            }
        }
        if (! chosen && ! matches.empty())
            chosen = matches.first().node();
        if (chosen && childElement (chosen, "Numerator") && childElement (chosen, "Denominator"))
            global = readRemoteableSignature (chosen);
    }

    // Time-signature automation.
    std::vector<TimeSignatureMapEntry> entries;
    std::optional<TimeSignature> initial;
    if (master)
    {
        const auto signatureNode = findElementPath (master, { "Mixer", "TimeSignature" });
        const auto events = signatureNode ? findElementPath (signatureNode, { "ArrangerAutomation", "Events" }) : pugi::xml_node {};
        for (auto ev = events.first_child(); ev; ev = ev.next_sibling())
        {
            if (ev.type() != pugi::node_element || std::strcmp (ev.name(), "EnumEvent") != 0)
                continue;
            const double time = attributeNumber (ev, "Time", 0.0);
            const auto sig = decodeTimeSignatureEnum (attributeInt (ev, "Value", -1));
            if (! sig)
                continue;
            if (time >= 0.0)
                entries.push_back ({ beatToSeconds (time, points), sig->numerator, sig->denominator });
            else
                initial = sig;
        }

        if (entries.empty())
        {
            for (const auto& match : selectInOrder (master, "Mixer/TimeSignature/TimeSignatures/RemoteableTimeSignature"))
            {
                const auto node = match.node();
                const auto time = childElement (node, "Time");
                if (! time || ! childElement (node, "Numerator") || ! childElement (node, "Denominator"))
                    continue;
                const double beat = attributeNumber (time, "Value", 0.0);
                if (beat < 0.0)
                    continue;
                const auto sig = readRemoteableSignature (node);
                if (! sig)
                    continue;
                entries.push_back ({ beatToSeconds (beat, points), sig->numerator, sig->denominator });
            }
        }
    }

    if (! entries.empty() && entries.front().time > 0.01)
    {
        const auto first = initial ? *initial : global ? *global : TimeSignature {};
        entries.insert (entries.begin(), { 0.0, first.numerator, first.denominator });
    }
    std::stable_sort (entries.begin(), entries.end(),
                      [] (const TimeSignatureMapEntry& a, const TimeSignatureMapEntry& b) { return lessTime (a.time, b.time); });

    const bool changes = entries.size() >= 2
                         && std::any_of (entries.begin(), entries.end(), [&] (const TimeSignatureMapEntry& e) {
                                return e.numerator != entries.front().numerator || e.denominator != entries.front().denominator;
                            });
    if (changes)
    {
        set.timeSignatureMap = entries;
        set.timeSignature = TimeSignature { entries.front().numerator, entries.front().denominator };
    }
    else
    {
        set.timeSignature = global ? global : initial;
    }

    // Arrangement length.
    std::optional<double> length;
    if (const auto arrangement = findFirstElement (doc, "ArrangementLength"))
        length = attributeNumber (arrangement, "Value", 0.0);
    else if (master)
        if (const auto end = findElementPath (master, { "ArrangementLoop", "End" }))
            length = attributeNumber (end, "Value", 0.0);
    if (length && *length > 0.0)
        set.duration = beatToSeconds (*length, points);

    // Locators become sections.
    for (const auto& match : selectInOrder (doc, "//Locator"))
    {
        const auto locator = match.node();
        const auto time = childElement (locator, "Time");
        if (! time)
            continue;
        const double position = attributeNumber (time, "Value", 0.0);

        std::string name = "Marker";
        if (const auto nameNode = childElement (locator, "Name"))
            if (const auto value = nameNode.attribute ("Value"))
                name = value.value();
        if (trimAndLowerCase (name) == "error")
            continue;

        const auto label = classifySectionMarker (name.empty() ? std::string ("Section") : name);
        set.sections.push_back ({ label.cleanName, label.type, beatToSeconds (position, points), 0.0 });
    }
    std::stable_sort (set.sections.begin(), set.sections.end(),
                      [] (const ImportedSection& a, const ImportedSection& b) { return lessTime (a.startTime, b.startTime); });
    for (std::size_t i = 0; i < set.sections.size(); ++i)
    {
        auto& section = set.sections[i];
        if (i + 1 < set.sections.size())
            section.duration = set.sections[i + 1].startTime - section.startTime;
        else
            section.duration = set.duration > 0.0 ? std::max (set.duration - section.startTime, 1.0) : 8.0;
    }
    return set;
}

LiveSetImport readCompressedLiveSet (const std::vector<uint8_t>& bytes)
{
    const auto text = decompressAbletonSet (bytes.data(), bytes.size());
    if (text.empty())
        return {};
    return readAbletonLiveSet (text);
}

Json liveSetImportToJson (const LiveSetImport& set)
{
    Json out = Json::object();
    out["parsed"] = set.parsed;
    out["timeSignature"] = set.timeSignature ? timeSignatureToJson (*set.timeSignature) : Json (nullptr);
    out["timeSignatureMap"] = writeTimeSignatureMap (set.timeSignatureMap);
    out["tempoMap"] = writeTempoMap (set.tempoPoints);
    out["duration"] = set.duration;
    out["sections"] = writeSectionList (set.sections);
    return out;
}

Json parseAbletonXML (const Json& payload)
{
    return liveSetImportToJson (readAbletonLiveSet (getString (payload, "xmlText", {})));
}

Json parseAbletonFile (const Json& payload)
{
    return liveSetImportToJson (readCompressedLiveSet (decodeBase64 (getStringView (payload, "bytesBase64"))));
}
} // namespace quorvelle::core
