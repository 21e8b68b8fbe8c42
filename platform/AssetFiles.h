#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>

namespace quorvelle
{
// XORs `data` in place with the keystream of `keyPath` (the file's path relative to its asset
// root, "/"-separated). Applying it twice gives back the original bytes.
void decipherAsset (void* data, size_t numBytes, const juce::String& keyPath);

// Reads `file` whole into `block`; when `assetRoot` holds the ".encrypted" marker file, the bytes
// are unscrambled with the file's path relative to the root. False when the file cannot be read.
bool loadAssetFile (const juce::File& assetRoot, const juce::File& file, juce::MemoryBlock& block);
} // namespace quorvelle
