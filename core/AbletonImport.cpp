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

    // Hands every element named `name` in the node's subtree (the node included) to `visit`, in
    // document order, until it returns false. Iterative, so deep nesting costs no stack.
    template <typename Visit>
    void forEachElementNamed (const pugi::xml_node& node, const char* name, Visit&& visit)
    {
        for (auto current = node; current;)
        {
            if (current.type() == pugi::node_element && std::strcmp (current.name(), name) == 0 && ! visit (current))
                return;
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
} // namespace

std::optional<TimeSignature> decodeTimeSignatureEnum (int32_t value)
{
    if (value < 0 || value / 99 > 4)
        return std::nullopt;
    return TimeSignature { value % 99 + 1, 1 << (value / 99) };
}

pugi::xml_node findFirstElement (const pugi::xml_node& node, const char* name)
{
    pugi::xml_node found;
    forEachElementNamed (node, name, [&found] (const pugi::xml_node& element) {
        found = element;
        return false;
    });
    return found;
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

namespace
{
    bool isElementNamed (const pugi::xml_node& node, const char* name)
    {
        return node.type() == pugi::node_element && std::strcmp (node.name(), name) == 0;
    }

    // Elements reached from `node` by one direct-child step per name, in document order.
    template <typename Visit>
    void forEachChildPath (const pugi::xml_node& node, const char* const* names, std::size_t count, Visit&& visit)
    {
        if (count == 0)
        {
            visit (node);
            return;
        }
        for (auto child = node.first_child(); child; child = child.next_sibling())
            if (isElementNamed (child, names[0]))
                forEachChildPath (child, names + 1, count - 1, visit);
    }

    // Whether the text can be parsed within the import's bounds: every element, end tag, comment
    // and text run follows a "<", every attribute holds a "=".
    bool fitsMarkupBounds (const char* text)
    {
        std::size_t tags = 0, equals = 0;
        for (const char* c = text; *c != 0; ++c)
        {
            tags += *c == '<';
            equals += *c == '=';
        }
        return tags <= kMaxLiveSetTags && equals <= kMaxLiveSetAttributes;
    }

    double readBaseTempo (const pugi::xml_document& doc)
    {
        return attributeNumber (childElement (findFirstElement (doc, "Tempo"), "Manual"), "Value", 120.0);
    }

    // The master track's tempo automation, sorted, from beat 0: the tempo map of every conversion.
    std::vector<TempoPoint> readTempoPoints (const pugi::xml_node& master, double baseTempo)
    {
        std::vector<TempoPoint> points;
        if (master)
        {
            const auto events = findElementPath (master, { "Mixer", "Tempo", "ArrangerAutomation", "Events" });
            for (auto ev = events.first_child(); ev; ev = ev.next_sibling())
            {
                if (! isElementNamed (ev, "FloatEvent"))
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
        return points;
    }

    // The set's signature: the master mixer's own, else the first RemoteableTimeSignature at time 0
    // (or the first at all) below a TimeSignature's TimeSignatures.
    std::optional<TimeSignature> readGlobalSignature (const pugi::xml_document& doc, const pugi::xml_node& master)
    {
        if (master)
            if (const auto manual = findElementPath (master, { "Mixer", "TimeSignature", "Manual" }))
                if (const auto global = decodeTimeSignatureEnum (attributeInt (manual, "Value", -1)))
                    return global;

        pugi::xml_node chosen, first;
        forEachElementNamed (doc, "RemoteableTimeSignature", [&] (const pugi::xml_node& match) {
            const auto list = match.parent();
            if (! isElementNamed (list, "TimeSignatures") || ! isElementNamed (list.parent(), "TimeSignature"))
                return true;
            if (! first)
                first = match;
            const auto time = childElement (match, "Time");
            if (time && attributeNumber (time, "Value", 0.0) == 0.0)
                chosen = match;
            return ! chosen;
        });
        if (! chosen)
            chosen = first;
        if (chosen && childElement (chosen, "Numerator") && childElement (chosen, "Denominator"))
            return readRemoteableSignature (chosen);
        return std::nullopt;
    }

    // Signature changes in beats, before their conversion to seconds.
    struct SignatureChange
    {
        double beat;
        TimeSignature signature;
    };

    // The master's signature automation (EnumEvents; a negative time sets `initial`), else its
    // RemoteableTimeSignatures.
    std::vector<SignatureChange> readSignatureChanges (const pugi::xml_node& master, std::optional<TimeSignature>& initial)
    {
        std::vector<SignatureChange> changes;
        if (! master)
            return changes;

        const auto signatureNode = findElementPath (master, { "Mixer", "TimeSignature" });
        const auto events = signatureNode ? findElementPath (signatureNode, { "ArrangerAutomation", "Events" }) : pugi::xml_node {};
        for (auto ev = events.first_child(); ev; ev = ev.next_sibling())
        {
            if (! isElementNamed (ev, "EnumEvent"))
                continue;
            const double time = attributeNumber (ev, "Time", 0.0);
            const auto sig = decodeTimeSignatureEnum (attributeInt (ev, "Value", -1));
            if (! sig)
                continue;
            if (time >= 0.0)
                changes.push_back ({ time, *sig });
            else
                initial = sig;
        }
        if (! changes.empty())
            return changes;

        static const char* const path[] = { "Mixer", "TimeSignature", "TimeSignatures", "RemoteableTimeSignature" };
        forEachChildPath (master, path, 4, [&] (const pugi::xml_node& node) {
            const auto time = childElement (node, "Time");
            if (! time || ! childElement (node, "Numerator") || ! childElement (node, "Denominator"))
                return;
            const double beat = attributeNumber (time, "Value", 0.0);
            if (beat < 0.0)
                return;
            if (const auto sig = readRemoteableSignature (node))
                changes.push_back ({ beat, *sig });
        });
        return changes;
    }

    // The signature and map of the record from the changes (converted to seconds), the initial
    // and the global signature.
    void chooseSignatures (LiveSetImport& set, const std::vector<SignatureChange>& changes, const std::vector<TempoPoint>& points,
                           const std::optional<TimeSignature>& initial, const std::optional<TimeSignature>& global)
    {
        std::vector<double> beats;
        beats.reserve (changes.size());
        for (const auto& c : changes)
            beats.push_back (c.beat);
        const auto seconds = beatsToSeconds (beats, points);

        std::vector<TimeSignatureMapEntry> entries;
        entries.reserve (changes.size() + 1);
        for (std::size_t i = 0; i < changes.size(); ++i)
            entries.push_back ({ seconds[i], changes[i].signature.numerator, changes[i].signature.denominator });

        if (! entries.empty() && entries.front().time > 0.01)
        {
            const auto first = initial ? *initial : global ? *global : TimeSignature {};
            entries.insert (entries.begin(), { 0.0, first.numerator, first.denominator });
        }
        std::stable_sort (entries.begin(), entries.end(),
                          [] (const TimeSignatureMapEntry& a, const TimeSignatureMapEntry& b) { return lessTime (a.time, b.time); });

        const bool changesSignature = entries.size() >= 2
                                      && std::any_of (entries.begin(), entries.end(), [&] (const TimeSignatureMapEntry& e) {
                                             return e.numerator != entries.front().numerator || e.denominator != entries.front().denominator;
                                         });
        if (changesSignature)
        {
            set.timeSignature = TimeSignature { entries.front().numerator, entries.front().denominator };
            set.timeSignatureMap = std::move (entries);
        }
        else
        {
            set.timeSignature = global ? global : initial;
        }
    }

    // The arrangement's length in beats, when the set gives one.
    std::optional<double> readArrangementLength (const pugi::xml_document& doc, const pugi::xml_node& master)
    {
        if (const auto arrangement = findFirstElement (doc, "ArrangementLength"))
            return attributeNumber (arrangement, "Value", 0.0);
        if (master)
            if (const auto end = findElementPath (master, { "ArrangementLoop", "End" }))
                return attributeNumber (end, "Value", 0.0);
        return std::nullopt;
    }

    // One section per locator with a Time, sorted, each lasting until the next.
    std::vector<ImportedSection> readLocatorSections (const pugi::xml_document& doc, const std::vector<TempoPoint>& points, double duration)
    {
        std::vector<ImportedSection> sections;
        std::vector<double> beats;
        forEachElementNamed (doc, "Locator", [&] (const pugi::xml_node& locator) {
            const auto time = childElement (locator, "Time");
            if (! time)
                return true;
            std::string name = "Marker";
            if (const auto nameNode = childElement (locator, "Name"))
                if (const auto value = nameNode.attribute ("Value"))
                    name = value.value();
            if (trimAndLowerCase (name) == "error")
                return true;

            const auto label = classifySectionMarker (name.empty() ? std::string ("Section") : name);
            sections.push_back ({ label.cleanName, label.type, 0.0, 0.0 });
            beats.push_back (attributeNumber (time, "Value", 0.0));
            return sections.size() <= kMaxLiveSetImportItems; // one more than the bound refuses the set
        });
        const auto seconds = beatsToSeconds (beats, points);
        for (std::size_t i = 0; i < sections.size(); ++i)
            sections[i].startTime = seconds[i];

        std::stable_sort (sections.begin(), sections.end(),
                          [] (const ImportedSection& a, const ImportedSection& b) { return lessTime (a.startTime, b.startTime); });
        for (std::size_t i = 0; i < sections.size(); ++i)
        {
            auto& section = sections[i];
            if (i + 1 < sections.size())
                section.duration = sections[i + 1].startTime - section.startTime;
            else
                section.duration = duration > 0.0 ? std::max (duration - section.startTime, 1.0) : 8.0;
        }
        return sections;
    }

    // Parses the text in place (it becomes the document's storage) and reads the set from it.
    LiveSetImport readLiveSetText (std::string text)
    {
        LiveSetImport set;
        if (text.size() < 8 || text.find ("<LiveSet") == std::string::npos || ! fitsMarkupBounds (text.c_str()))
            return set;

        pugi::xml_document doc;
        if (! doc.load_buffer_inplace (text.data(), std::strlen (text.c_str()), pugi::parse_default, pugi::encoding_utf8))
            return set;

        const auto master = findFirstElement (doc, "MasterTrack");
        const auto points = readTempoPoints (master, readBaseTempo (doc));
        const auto global = readGlobalSignature (doc, master);
        std::optional<TimeSignature> initial;
        const auto changes = readSignatureChanges (master, initial);
        chooseSignatures (set, changes, points, initial, global);

        if (const auto length = readArrangementLength (doc, master); length && *length > 0.0)
            set.duration = beatToSeconds (*length, points);
        set.sections = readLocatorSections (doc, points, set.duration);
        set.tempoPoints = points;
        set.parsed = true;

        // A set with more tempo points, signature changes and locators than any song has is
        // refused whole, as one that is too large to parse.
        if (set.tempoPoints.size() + set.timeSignatureMap.size() + set.sections.size() > kMaxLiveSetImportItems)
            return {};
        return set;
    }
} // namespace

LiveSetImport readAbletonLiveSet (const std::string& text)
{
    return readLiveSetText (text);
}

LiveSetImport readCompressedLiveSet (const std::vector<uint8_t>& bytes)
{
    auto text = decompressAbletonSet (bytes.data(), bytes.size());
    if (text.empty())
        return {};
    return readLiveSetText (std::move (text));
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
