#pragma once

#include "core/CoreJson.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvelle::core
{
enum class UacVersion : uint8_t
{
    none = 0,
    uac1 = 1,
    uac2 = 2,
    uac3 = 3,
    unknown = 4,
};

enum class EndpointSyncType : uint8_t
{
    none = 0,
    async = 1,
    adaptive = 2,
    sync = 3,
};

enum class EndpointUsage : uint8_t
{
    data = 0,
    feedback = 1,
    implicitFeedbackData = 2,
    other = 3,
};

struct UsbClockSource
{
    uint8_t id = 0;
    bool isInternal = false;
    bool frequencyWritable = false;
};

struct UsbClockSelector
{
    uint8_t id = 0;
    std::vector<uint8_t> inputPins;
};

struct UsbAudioEndpoint
{
    uint8_t address = 0; // with the direction bit
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;
    uint8_t syncAddress = 0;
    bool isIsochronous = false;
    bool isInput = false;
    EndpointSyncType syncType = EndpointSyncType::none;
    EndpointUsage usage = EndpointUsage::data;
    bool maxPacketsOnly = false;
};

struct UsbAudioStream
{
    uint8_t interfaceNumber = 0;
    uint8_t altSetting = 0;
    UacVersion layout = UacVersion::uac1; // how its class-specific descriptors are read
    uint8_t terminalLink = 0;
    uint8_t numChannels = 0;
    uint8_t subslotSize = 0;
    uint8_t bitResolution = 0;
    std::vector<uint32_t> sampleRates; // descriptor order
    bool hasRateRange = false;
    uint32_t minRate = 0;
    uint32_t maxRate = 0;
    std::vector<UsbAudioEndpoint> endpoints;
    bool isOutputStream = false;
    bool hasExplicitFeedbackEp = false;
    bool needsFeedbackSource = false;
};

struct UsbAudioReport
{
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    UacVersion uacVersion = UacVersion::none;
    bool hasAudioControl = false;
    bool hasVendorSpecificInterface = false;
    bool hasMassStorageInterface = false;
    bool hasMidiStreamingInterface = false;
    std::vector<UsbClockSource> clockSources;
    std::vector<UsbClockSelector> clockSelectors;
    std::vector<UsbAudioStream> streams;
    uint8_t maxOutputChannels = 0;
    std::vector<uint32_t> outputSampleRates; // distinct, ascending
    bool anyOutputNeedsFeedback = false;
    bool hasImplicitFeedbackInput = false;
    std::vector<std::string> warnings; // Spanish diagnostics, in the order raised
};

// Walks a dump of standard USB descriptors (device, the active configuration and what follows
// it). Never fails: irregularities become warnings and the walk keeps what it read.
UsbAudioReport parseUsbConfigurationDescriptors (const uint8_t* bytes, std::size_t length);
Json usbAudioReportToJson (const UsbAudioReport& report);

const char* uacVersionName (UacVersion version);
const char* endpointSyncName (EndpointSyncType type);
const char* endpointUsageName (EndpointUsage usage);
Json endpointToJson (const UsbAudioEndpoint& endpoint);

// Byte i of a descriptor of bLength bytes, 0 beyond it; three bytes little-endian from i, 0
// unless i + 2 lies inside.
uint8_t byteAt (const uint8_t* descriptor, std::size_t bLength, std::size_t i);
uint32_t readU24 (const uint8_t* descriptor, std::size_t bLength, std::size_t i);

// Core method: {"rawDescriptorsB64"} -> USB audio report.
Json parseUsbDescriptors (const Json& payload);
} // namespace quorvelle::core
