#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace quorvelle::cloud
{
// Reads the head of one HTTP request from a connected socket, the little the sign-in listener
// needs: passes of up to 200 ms, at most 20 (4000 ms); each takes what is there (up to 2047
// bytes) without waiting for more. Ends at CR LF CR LF, past 8192 bytes, when the socket closes
// or fails, or when `shouldStop` says so. Returns what arrived (possibly nothing).
juce::String readRequestHead (juce::StreamingSocket& socket, const std::function<bool()>& shouldStop);

// The request target: the text between the first and second space of the first line (the rest
// of the line when there is no second space; empty when there is no space).
juce::String requestTargetOf (const juce::String& request);
} // namespace quorvelle::cloud
