#pragma once

#include "core/TimingMaps.h"

namespace quorvelle::core
{
// The bar length that occurs most often between downbeats (ties: the shorter bar).
TimeSignature inferTimeSignatureFromBeatmap (const std::vector<BeatmapEntry>& beats);

// A signature entry wherever the bar length changes for at least two bars (the first and the last
// complete bar are always taken as they are).
std::vector<TimeSignatureMapEntry> inferTimeSignatureMap (const std::vector<BeatmapEntry>& beats);

// Core methods.
Json detectTimeSignatureFromBeatmap (const Json& payload);
Json detectTimeSignatureMapFromBeatmap (const Json& payload);
} // namespace quorvelle::core
