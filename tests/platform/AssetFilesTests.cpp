#include "platform/AssetFiles.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

using namespace quorvelle;

namespace
{
juce::MemoryBlock bytes0to (int n)
{
    juce::MemoryBlock b ((size_t) n);
    for (int i = 0; i < n; ++i)
        static_cast<unsigned char*> (b.getData())[i] = (unsigned char) i;
    return b;
}
} // namespace

// Expected bytes made once with python3 hashlib: bytes 0..39 under "clicks/clic_high.wav".
// 40 bytes reach into keystream block 1 and the key path holds a "/".
TEST (AssetDecipher, MatchesIndependentlyComputedKeystream)
{
    auto data = bytes0to (40);
    decipherAsset (data.getData(), data.getSize(), "clicks/clic_high.wav");

    juce::MemoryBlock expected;
    expected.loadFromHexString ("be5295829486f55cb97bae49c55e94085d5149fd2e37a4e52deea6938c9eba43"
                                "7b985b7691adf967");
    EXPECT_EQ (data, expected);
}

TEST (AssetDecipher, RoundTripsAndDependsOnKeyPath)
{
    auto original = bytes0to (100);

    auto a = original;
    decipherAsset (a.getData(), a.getSize(), "cues/intro.wav");
    EXPECT_NE (a, original);
    auto back = a;
    decipherAsset (back.getData(), back.getSize(), "cues/intro.wav");
    EXPECT_EQ (back, original);

    auto b = original;
    decipherAsset (b.getData(), b.getSize(), "cues/outro.wav");
    EXPECT_NE (a, b);

    // Only the last block is cut short: a prefix scrambles to a prefix.
    auto shortCopy = bytes0to (33);
    decipherAsset (shortCopy.getData(), shortCopy.getSize(), "cues/intro.wav");
    EXPECT_EQ (0, memcmp (shortCopy.getData(), a.getData(), 33));

    juce::MemoryBlock empty;
    decipherAsset (empty.getData(), 0, "x");
    EXPECT_EQ (empty.getSize(), 0u);
}

TEST (AssetLoader, UnscramblesOnlyUnderMarkedRoot)
{
    quorvelle::test::TempFolder tmp;
    auto root = tmp / "public";
    auto file = root.getChildFile ("clicks").getChildFile ("clic_high.wav");
    file.getParentDirectory().createDirectory();

    const auto plain = bytes0to (70);
    auto scrambled = plain;
    decipherAsset (scrambled.getData(), scrambled.getSize(), "clicks/clic_high.wav");
    ASSERT_TRUE (file.replaceWithData (scrambled.getData(), scrambled.getSize()));

    juce::MemoryBlock loaded;
    ASSERT_TRUE (loadAssetFile (root, file, loaded));
    EXPECT_EQ (loaded, scrambled) << "without the marker the bytes come back as stored";

    // A folder called ".encrypted" is not the marker.
    root.getChildFile (".encrypted").createDirectory();
    ASSERT_TRUE (loadAssetFile (root, file, loaded));
    EXPECT_EQ (loaded, scrambled);
    root.getChildFile (".encrypted").deleteRecursively();

    ASSERT_TRUE (root.getChildFile (".encrypted").create().wasOk());
    ASSERT_TRUE (loadAssetFile (root, file, loaded));
    EXPECT_EQ (loaded, plain);

    EXPECT_FALSE (loadAssetFile (root, root.getChildFile ("clicks/missing.wav"), loaded));
}
