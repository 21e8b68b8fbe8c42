// The EXPORT_MIX request as the engine takes it: the job with its output path resolved, or no job
// when the request has neither a plan nor a range.
#pragma once

#include "audio/engine/AudioEngine.h"

#include <functional>
#include <optional>

namespace quorvelle
{
// Reads the request's fields (a missing field takes its default), keeps the plan's entries that are
// objects with durationSec > 0 and sourceEnd > sourceStart, and joins the file name, unchanged, to
// the folder `platform::resolveExportFolder` gives. `log` receives the refusal's or the start's line.
std::optional<AudioEngine::ExportJob> readExportJob (const juce::var& request, const juce::File& storageRoot, const juce::File& musicFolder,
                                                     const std::function<void (const juce::String&)>& log);
} // namespace quorvelle
