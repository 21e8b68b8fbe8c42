#include "core/UsbDescriptors.h"

#include <algorithm>
#include <optional>

namespace quorvelle::core
{
namespace
{
    enum class InterfaceKind { none, audioControl, audioStreaming, other };

    constexpr uint8_t kDeviceDescriptor = 1;
    constexpr uint8_t kConfigurationDescriptor = 2;
    constexpr uint8_t kInterfaceDescriptor = 4;
    constexpr uint8_t kEndpointDescriptor = 5;
    constexpr uint8_t kClassInterfaceDescriptor = 0x24;
    constexpr uint8_t kClassEndpointDescriptor = 0x25;

    uint16_t readU16 (const uint8_t* d, std::size_t len, std::size_t i)
    {
        return static_cast<uint16_t> (byteAt (d, len, i) | (byteAt (d, len, i + 1) << 8));
    }

    class DescriptorWalk
    {
    public:
        UsbAudioReport run (const uint8_t* bytes, std::size_t length)
        {
            if (length == 0)
            {
                report.warnings.push_back ("buffer vacío");
                return report;
            }

            std::size_t offset = 0;
            while (offset + 2 <= length)
            {
                const std::size_t bLength = bytes[offset];
                if (bLength < 2)
                {
                    warn ("bLength inválido (<2) en offset " + std::to_string (offset));
                    break;
                }
                if (offset + bLength > length)
                {
                    warn ("descriptor truncado en offset " + std::to_string (offset));
                    break;
                }
                if (! handle (bytes + offset, bLength, offset, length))
                    break;
                offset += bLength;
            }
            closeCurrentStream();
            summarise();
            return report;
        }

        void closeCurrentStream()
        {
            if (! stream)
                return;
            if (! stream->endpoints.empty() || stream->terminalLink != 0 || stream->numChannels != 0)
                report.streams.push_back (std::move (*stream));
            stream.reset();
        }

    private:
        void warn (std::string text) { report.warnings.push_back (std::move (text)); }

        // False stops the walk.
        bool handle (const uint8_t* d, std::size_t len, std::size_t offset, std::size_t bufferLength)
        {
            switch (d[1])
            {
                case kDeviceDescriptor: device (d, len); return true;
                case kConfigurationDescriptor: return configuration (d, len, offset, bufferLength);
                case kInterfaceDescriptor: interface (d, len); return true;
                case kEndpointDescriptor: endpoint (d, len); return true;
                case kClassInterfaceDescriptor: classInterface (d, len, offset); return true;
                case kClassEndpointDescriptor: classEndpoint (d, len); return true;
                default: return true;
            }
        }

        void device (const uint8_t* d, std::size_t len)
        {
            if (len < 18)
                warn ("device descriptor corto (" + std::to_string (len) + " bytes)");
            report.vendorId = len >= 10 ? readU16 (d, len, 8) : 0;
            report.productId = len >= 12 ? readU16 (d, len, 10) : 0;
            report.bcdDevice = len >= 14 ? readU16 (d, len, 12) : 0;
        }

        bool configuration (const uint8_t* d, std::size_t len, std::size_t offset, std::size_t bufferLength)
        {
            if (seenConfiguration)
            {
                closeCurrentStream();
                warn ("configuración adicional omitida en offset " + std::to_string (offset) + " (solo se parsea la activa)");
                return false;
            }
            seenConfiguration = true;
            const std::size_t totalLength = len >= 4 ? readU16 (d, len, 2) : 0;
            if (offset + totalLength > bufferLength)
                warn ("wTotalLength del config excede el buffer (" + std::to_string (totalLength) + " desde offset "
                      + std::to_string (offset) + ")");
            return true;
        }

        void interface (const uint8_t* d, std::size_t len)
        {
            closeCurrentStream();
            const uint8_t number = byteAt (d, len, 2);
            const uint8_t alternate = byteAt (d, len, 3);
            const uint8_t klass = byteAt (d, len, 5);
            const uint8_t subclass = byteAt (d, len, 6);
            const uint8_t protocol = byteAt (d, len, 7);

            if (klass == 1 && subclass == 1)
            {
                kind = InterfaceKind::audioControl;
                report.hasAudioControl = true;
            }
            else if (klass == 1 && subclass == 2)
            {
                kind = InterfaceKind::audioStreaming;
                stream.emplace();
                stream->interfaceNumber = number;
                stream->altSetting = alternate;
                stream->layout = report.uacVersion != UacVersion::none ? report.uacVersion
                                 : protocol == 0x20                    ? UacVersion::uac2
                                                                       : UacVersion::uac1;
            }
            else
            {
                kind = InterfaceKind::other;
                if (klass == 0xFF)
                    report.hasVendorSpecificInterface = true;
                if (klass == 8)
                    report.hasMassStorageInterface = true;
                if (klass == 1 && subclass == 3)
                    report.hasMidiStreamingInterface = true;
            }
        }

        void endpoint (const uint8_t* d, std::size_t len)
        {
            if (kind != InterfaceKind::audioStreaming || ! stream)
                return;
            UsbAudioEndpoint ep;
            ep.address = byteAt (d, len, 2);
            const uint8_t attributes = byteAt (d, len, 3);
            ep.maxPacketSize = readU16 (d, len, 4);
            ep.interval = byteAt (d, len, 6);
            ep.syncAddress = len >= 9 ? byteAt (d, len, 8) : 0;
            ep.isInput = (ep.address & 0x80) != 0;
            ep.isIsochronous = (attributes & 0x03) == 1;
            ep.syncType = static_cast<EndpointSyncType> ((attributes >> 2) & 0x03);
            ep.usage = static_cast<EndpointUsage> ((attributes >> 4) & 0x03);
            stream->endpoints.push_back (ep);
        }

        void classInterface (const uint8_t* d, std::size_t len, std::size_t offset)
        {
            const uint8_t subtype = byteAt (d, len, 2);
            if (kind == InterfaceKind::audioControl)
            {
                if (subtype == 1)
                    audioControlHeader (d, len, offset);
                else if (subtype == 0x0A && report.uacVersion == UacVersion::uac2)
                    report.clockSources.push_back ({ byteAt (d, len, 3), (byteAt (d, len, 4) & 3) != 0,
                                                    (byteAt (d, len, 5) & 3) == 3 });
                else if (subtype == 0x0B && report.uacVersion == UacVersion::uac2)
                {
                    UsbClockSelector selector;
                    selector.id = byteAt (d, len, 3);
                    const std::size_t pins = byteAt (d, len, 4);
                    for (std::size_t i = 0; i < pins && 5 + i < len; ++i)
                        selector.inputPins.push_back (d[5 + i]);
                    report.clockSelectors.push_back (std::move (selector));
                }
            }
            else if (kind == InterfaceKind::audioStreaming && stream)
            {
                if (subtype == 1)
                {
                    stream->terminalLink = byteAt (d, len, 3);
                    if (stream->layout == UacVersion::uac2)
                        stream->numChannels = byteAt (d, len, 10);
                }
                else if (subtype == 2)
                {
                    formatType (d, len);
                }
            }
        }

        void audioControlHeader (const uint8_t* d, std::size_t len, std::size_t offset)
        {
            if (report.uacVersion != UacVersion::none)
            {
                warn ("AC header adicional ignorado en offset " + std::to_string (offset)
                      + " (composite con más de una función de audio)");
                return;
            }
            if (len < 5)
            {
                report.uacVersion = UacVersion::unknown;
                return;
            }
            const uint16_t bcdAdc = readU16 (d, len, 3);
            if ((bcdAdc >> 8) == 0x01)
                report.uacVersion = UacVersion::uac1;
            else if (bcdAdc == 0x0200)
                report.uacVersion = UacVersion::uac2;
            else if ((bcdAdc >> 8) == 0x03)
                report.uacVersion = UacVersion::uac3;
            else
                report.uacVersion = UacVersion::unknown;
        }

        void formatType (const uint8_t* d, std::size_t len)
        {
            const uint8_t type = byteAt (d, len, 3);
            if (type != 1)
            {
                warn ("format type no-PCM (" + std::to_string (type) + ") en iface " + std::to_string (stream->interfaceNumber));
                return;
            }
            if (stream->layout == UacVersion::uac2)
            {
                stream->subslotSize = byteAt (d, len, 4);
                stream->bitResolution = byteAt (d, len, 5);
                return;
            }
            stream->numChannels = byteAt (d, len, 4);
            stream->subslotSize = byteAt (d, len, 5);
            stream->bitResolution = byteAt (d, len, 6);
            const std::size_t rateCount = byteAt (d, len, 7);
            if (rateCount == 0)
            {
                stream->hasRateRange = true;
                stream->minRate = readU24 (d, len, 8);
                stream->maxRate = readU24 (d, len, 11);
                return;
            }
            for (std::size_t i = 0; i < rateCount; ++i)
            {
                if (10 + 3 * i >= len)
                {
                    warn ("tabla de rates truncada en iface " + std::to_string (stream->interfaceNumber));
                    break;
                }
                stream->sampleRates.push_back (readU24 (d, len, 8 + 3 * i));
            }
        }

        void classEndpoint (const uint8_t* d, std::size_t len)
        {
            if (kind != InterfaceKind::audioStreaming || ! stream || stream->endpoints.empty() || len < 3
                || byteAt (d, len, 2) != 1)
                return;
            stream->endpoints.back().maxPacketsOnly = len >= 4 && (byteAt (d, len, 3) & 0x80) != 0;
        }

        void summarise()
        {
            for (auto& s : report.streams)
            {
                for (const auto& ep : s.endpoints)
                {
                    if (! ep.isIsochronous)
                        continue;
                    if (! ep.isInput)
                    {
                        if (ep.usage == EndpointUsage::feedback)
                            s.hasExplicitFeedbackEp = true;
                        else
                        {
                            s.isOutputStream = true;
                            if (ep.syncType == EndpointSyncType::async)
                                s.needsFeedbackSource = true;
                        }
                    }
                    else if (ep.usage == EndpointUsage::feedback)
                        s.hasExplicitFeedbackEp = true;
                    else if (ep.usage == EndpointUsage::implicitFeedbackData)
                        report.hasImplicitFeedbackInput = true;
                }
                if (s.hasExplicitFeedbackEp)
                    s.needsFeedbackSource = false;
                if (s.isOutputStream)
                {
                    report.maxOutputChannels = std::max (report.maxOutputChannels, s.numChannels);
                    report.anyOutputNeedsFeedback = report.anyOutputNeedsFeedback || s.needsFeedbackSource;
                    for (const auto rate : s.sampleRates)
                        if (std::find (report.outputSampleRates.begin(), report.outputSampleRates.end(), rate)
                            == report.outputSampleRates.end())
                            report.outputSampleRates.push_back (rate);
                }
            }
            std::sort (report.outputSampleRates.begin(), report.outputSampleRates.end());
        }

        UsbAudioReport report;
        bool seenConfiguration = false;
        InterfaceKind kind = InterfaceKind::none;
        std::optional<UsbAudioStream> stream;
    };

    Json streamToJson (const UsbAudioStream& s)
    {
        Json out = Json::object();
        out["interfaceNumber"] = s.interfaceNumber;
        out["altSetting"] = s.altSetting;
        out["numChannels"] = s.numChannels;
        out["subslotSize"] = s.subslotSize;
        out["bitResolution"] = s.bitResolution;
        out["isOutputStream"] = s.isOutputStream;
        out["needsFeedbackSource"] = s.needsFeedbackSource;
        out["hasExplicitFeedbackEp"] = s.hasExplicitFeedbackEp;
        if (! s.sampleRates.empty())
            out["sampleRates"] = s.sampleRates;
        if (s.hasRateRange)
        {
            out["minRate"] = s.minRate;
            out["maxRate"] = s.maxRate;
        }
        out["endpoints"] = Json::array();
        for (const auto& ep : s.endpoints)
            out["endpoints"].push_back (endpointToJson (ep));
        return out;
    }
} // namespace

uint8_t byteAt (const uint8_t* descriptor, std::size_t bLength, std::size_t i)
{
    return i < bLength ? descriptor[i] : 0;
}

uint32_t readU24 (const uint8_t* descriptor, std::size_t bLength, std::size_t i)
{
    if (i + 2 >= bLength)
        return 0;
    return static_cast<uint32_t> (descriptor[i]) | (static_cast<uint32_t> (descriptor[i + 1]) << 8)
           | (static_cast<uint32_t> (descriptor[i + 2]) << 16);
}

const char* uacVersionName (UacVersion version)
{
    switch (version)
    {
        case UacVersion::none: return "none";
        case UacVersion::uac1: return "uac1";
        case UacVersion::uac2: return "uac2";
        case UacVersion::uac3: return "uac3";
        case UacVersion::unknown: break;
    }
    return "unknown";
}

const char* endpointSyncName (EndpointSyncType type)
{
    switch (type)
    {
        case EndpointSyncType::none: return "none";
        case EndpointSyncType::async: return "async";
        case EndpointSyncType::adaptive: return "adaptive";
        case EndpointSyncType::sync: return "sync";
    }
    return "none";
}

const char* endpointUsageName (EndpointUsage usage)
{
    switch (usage)
    {
        case EndpointUsage::data: return "data";
        case EndpointUsage::feedback: return "feedback";
        case EndpointUsage::implicitFeedbackData: return "implicit-feedback-data";
        case EndpointUsage::other: return "other";
    }
    return "other";
}

Json endpointToJson (const UsbAudioEndpoint& ep)
{
    Json out = Json::object();
    out["address"] = ep.address;
    out["isInput"] = ep.isInput;
    out["isIsochronous"] = ep.isIsochronous;
    out["syncType"] = endpointSyncName (ep.syncType);
    out["usage"] = endpointUsageName (ep.usage);
    out["maxPacketSize"] = ep.maxPacketSize;
    out["interval"] = ep.interval;
    if (ep.syncAddress != 0)
        out["syncAddress"] = ep.syncAddress;
    if (ep.maxPacketsOnly)
        out["maxPacketsOnly"] = true;
    return out;
}

UsbAudioReport parseUsbConfigurationDescriptors (const uint8_t* bytes, std::size_t length)
{
    return DescriptorWalk {}.run (bytes, bytes == nullptr ? 0 : length);
}

Json usbAudioReportToJson (const UsbAudioReport& r)
{
    Json out = Json::object();
    out["vendorId"] = r.vendorId;
    out["productId"] = r.productId;
    out["bcdDevice"] = r.bcdDevice;
    out["uacVersion"] = uacVersionName (r.uacVersion);
    out["hasAudioControl"] = r.hasAudioControl;
    out["hasVendorSpecificInterface"] = r.hasVendorSpecificInterface;
    out["hasMassStorageInterface"] = r.hasMassStorageInterface;
    out["hasMidiStreamingInterface"] = r.hasMidiStreamingInterface;
    out["clockSources"] = Json::array();
    for (const auto& c : r.clockSources)
        out["clockSources"].push_back ({ { "id", c.id }, { "isInternal", c.isInternal }, { "frequencyWritable", c.frequencyWritable } });
    out["clockSelectors"] = Json::array();
    for (const auto& c : r.clockSelectors)
    {
        Json pins = Json::array();
        for (const auto pin : c.inputPins)
            pins.push_back (pin);
        out["clockSelectors"].push_back ({ { "id", c.id }, { "inputPins", pins } });
    }
    out["streams"] = Json::array();
    for (const auto& s : r.streams)
        out["streams"].push_back (streamToJson (s));
    out["maxOutputChannels"] = r.maxOutputChannels;
    out["outputSampleRates"] = Json::array();
    for (const auto rate : r.outputSampleRates)
        out["outputSampleRates"].push_back (rate);
    out["anyOutputNeedsFeedback"] = r.anyOutputNeedsFeedback;
    out["hasImplicitFeedbackInput"] = r.hasImplicitFeedbackInput;
    out["warnings"] = r.warnings;
    return out;
}

Json parseUsbDescriptors (const Json& payload)
{
    const auto bytes = decodeBase64 (getStringView (payload, "rawDescriptorsB64"));
    return usbAudioReportToJson (parseUsbConfigurationDescriptors (bytes.data(), bytes.size()));
}
} // namespace quorvelle::core
