#pragma once

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

namespace quorvelle::bench
{
// The main of a benchmark that needs JUCE's message manager: JUCE first, then Google Benchmark.
inline int runWithJuce (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    benchmark::Initialize (&argc, argv);
    if (benchmark::ReportUnrecognizedArguments (argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
} // namespace quorvelle::bench
