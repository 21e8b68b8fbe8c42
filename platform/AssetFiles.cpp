#include "platform/AssetFiles.h"

#include <juce_cryptography/juce_cryptography.h>

#include <array>
#include <cstring>
#include <vector>

namespace quorvelle
{
namespace
{
constexpr const char keyConstant[] = "k7vqm3zrw9tpxh2ncbf6yjd4lsg8ewqa5rmtzk1vhnpxu0cb";
static_assert (sizeof (keyConstant) - 1 == 48);
} // namespace

void decipherAsset (void* data, size_t numBytes, const juce::String& keyPath)
{
    if (numBytes == 0)
        return;

    const auto keyDigest = juce::SHA256 (keyConstant, sizeof (keyConstant) - 1).getRawData();

    // Block input: key digest, key path bytes, 4-byte big-endian block number; rebuilt in place per block.
    const auto pathBytes = keyPath.toUTF8();
    const auto pathLength = pathBytes.sizeInBytes() - 1;
    std::vector<unsigned char> input (32 + pathLength + 4);
    std::memcpy (input.data(), keyDigest.getData(), 32);
    std::memcpy (input.data() + 32, pathBytes.getAddress(), pathLength);
    auto* counter = input.data() + 32 + pathLength;

    auto* bytes = static_cast<unsigned char*> (data);
    juce::MemoryBlock block;

    for (size_t start = 0; start < numBytes; start += 32)
    {
        const auto n = (juce::uint32) (start / 32);
        counter[0] = (unsigned char) (n >> 24);
        counter[1] = (unsigned char) (n >> 16);
        counter[2] = (unsigned char) (n >> 8);
        counter[3] = (unsigned char) n;
        block = juce::SHA256 (input.data(), input.size()).getRawData();
        const auto* key = static_cast<const unsigned char*> (block.getData());

        const auto end = std::min (numBytes, start + 32);
        for (size_t i = start; i < end; ++i)
            bytes[i] ^= key[i - start];
    }
}

bool loadAssetFile (const juce::File& assetRoot, const juce::File& file, juce::MemoryBlock& block)
{
    // juce::File::loadFileAsData appends to the block; a reused block must start empty.
    block.reset();
    if (! file.loadFileAsData (block))
        return false;

    if (assetRoot.getFullPathName().isNotEmpty() && assetRoot.getChildFile (".encrypted").existsAsFile())
    {
        const auto keyPath = file.getRelativePathFrom (assetRoot).replaceCharacter ('\\', '/');
        decipherAsset (block.getData(), block.getSize(), keyPath);
    }
    return true;
}
} // namespace quorvelle
