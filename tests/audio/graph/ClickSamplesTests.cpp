#include "SpokenAndClickFixtures.h"

#include "platform/AssetFiles.h"
#include "audio/graph/MetronomeAudioSource.h"

#include <gtest/gtest.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
struct Bank
{
    AssetFolders assets;
    juce::AudioFormatManager formats;
    MetronomeAudioSource source;

    Bank() { formats.registerBasicFormats(); }
    void load() { source.loadClickSamples (assets.clicks, formats, assets.root); }
};
} // namespace

TEST (ClickSamples, ConversionToTheDeviceRateAddsSixteenSamplesAndSameRateFilesAreKeptAsTheyAre)
{
    const struct { double fileRate, deviceRate; int length; int expected; } cases[] = {
        { 44100.0, 48000.0, 2205, (int) (2205.0 * 48000.0 / 44100.0) + 16 },
        { 48000.0, 44100.0, 1000, (int) (1000.0 * 44100.0 / 48000.0) + 16 },
        { 48000.0, 48000.0, 1000, 1000 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::to_string (c.fileRate) + " -> " + std::to_string (c.deviceRate));
        Bank bank;
        AssetFolders::writeTone (bank.assets.clicks, "clic_high.wav", c.fileRate, c.length, 0.9f, 2, 1000.0);
        AssetFolders::writeTone (bank.assets.clicks, "clic_low.wav", c.fileRate, c.length, 0.5f, 1, 1000.0);
        bank.source.prepareToPlay (512, c.deviceRate); // the bank loads after the device started
        bank.load();

        const auto clicks = bank.source.getSelectedClicks();
        ASSERT_NE (clicks.high, nullptr);
        ASSERT_NE (clicks.low, nullptr);
        EXPECT_EQ (clicks.high->getNumSamples(), c.expected);
        EXPECT_EQ (clicks.high->getNumChannels(), 2);
        EXPECT_EQ (clicks.low->getNumSamples(), c.expected);

        // The converted tone keeps its level and frequency: its RMS and its zero crossings.
        const auto original = makeKeyTone (1, c.length, c.fileRate, 1000.0, 0.9f);
        EXPECT_NEAR (clicks.high->getRMSLevel (0, 0, c.expected - 16), original.getRMSLevel (0, 0, c.length), 0.02f);
        int crossings = 0;
        for (int i = 1; i < c.expected - 16; ++i)
            crossings += (clicks.high->getSample (0, i - 1) < 0.0f) != (clicks.high->getSample (0, i) < 0.0f) ? 1 : 0;
        const int expectedCrossings = (int) (2.0 * 1000.0 * c.length / c.fileRate);
        EXPECT_NEAR (crossings, expectedCrossings, 2);
    }
}

TEST (ClickSamples, SoundNamesSelectTheirPairByKey)
{
    const struct { const char* sound; const char* highFile; const char* lowFile; bool hasHigh, hasLow; } cases[] = {
        { "estandar", "clic_high.wav", "clic_low.wav", true, true },
        { "ESTANDAR", "clic_high.wav", "clic_low.wav", true, true },
        { "Madera", "clic_madera_high.wav", "clic_madera_low.wav", true, true },
        { "madera", "clic_high.wav", "clic_low.wav", false, false }, // no fallback to the standard pair
        { "estandar", "CLIC_HIGH.WAV", nullptr, true, false },
        { "estandar", " Clic_High .wav", "clic_low.flac", true, true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.sound + std::string (" ") + c.highFile);
        Bank bank;
        AssetFolders::writeTone (bank.assets.clicks, c.highFile, 48000.0, 200, 0.9f);
        if (c.lowFile != nullptr)
        {
            if (juce::String (c.lowFile).endsWith (".flac"))
                writeAudioFile (bank.assets.clicks.getChildFile (c.lowFile), makeKeyTone (1, 300, 48000.0, 997.0, 0.5f), 48000.0,
                                FixtureFormat::flac24);
            else
                AssetFolders::writeTone (bank.assets.clicks, c.lowFile, 48000.0, 300, 0.5f);
        }
        bank.source.prepareToPlay (512, 48000.0);
        bank.load();
        bank.source.setSound (c.sound);

        const auto clicks = bank.source.getSelectedClicks();
        EXPECT_EQ (clicks.high != nullptr, c.hasHigh);
        EXPECT_EQ (clicks.low != nullptr, c.hasLow);
        if (c.hasHigh)
        {
            EXPECT_EQ (clicks.high->getNumSamples(), 200);
        }
        if (c.hasLow)
        {
            EXPECT_EQ (clicks.low->getNumSamples(), 300);
        }
    }
}

TEST (ClickSamples, KeysAreFoldedAndTwoFilesOfOneKeyGiveOneEntry)
{
    EXPECT_EQ (samples::keyOfFile (juce::File ("/x/Clic_High.wav")), "clic_high");
    EXPECT_EQ (samples::keyOfFile (juce::File ("/x/clic_high.flac")), "clic_high");
    EXPECT_EQ (samples::keyOfFile (juce::File ("/x/ Coro .wav")), "coro");
    EXPECT_EQ (samples::keyOfFile (juce::File ("/x/pre.coro.mp3")), "pre.coro");
    EXPECT_EQ (samples::keyOfFile (juce::File ("/x/.hidden")), ".hidden");

    Bank bank;
    AssetFolders::writeTone (bank.assets.clicks, "clic_high.wav", 48000.0, 100, 0.9f);
    writeAudioFile (bank.assets.clicks.getChildFile ("Clic_High.flac"), makeKeyTone (1, 150, 48000.0, 997.0, 0.9f), 48000.0,
                    FixtureFormat::flac24);
    bank.assets.clicks.getChildFile ("clic_low.wav").replaceWithText ("not audio"); // skipped without a message
    bank.source.prepareToPlay (512, 48000.0);
    bank.load();
    const auto clicks = bank.source.getSelectedClicks();
    ASSERT_NE (clicks.high, nullptr);
    const auto length = clicks.high->getNumSamples();
    EXPECT_TRUE (length == 100 || length == 150); // whichever the listing gave last
    EXPECT_EQ (clicks.low, nullptr);
}

TEST (ClickSamples, ScrambledAssetFoldersAreReadBackInTheClear)
{
    Bank bank;
    AssetFolders::writeTone (bank.assets.clicks, "clic_high.wav", 48000.0, 120, 0.9f);
    auto file = bank.assets.clicks.getChildFile ("clic_high.wav");
    juce::MemoryBlock bytes;
    ASSERT_TRUE (file.loadFileAsData (bytes));
    decipherAsset (bytes.getData(), bytes.getSize(), "clicks/clic_high.wav");
    ASSERT_TRUE (file.replaceWithData (bytes.getData(), bytes.getSize()));
    bank.assets.root.getChildFile (".encrypted").create();

    bank.source.prepareToPlay (512, 48000.0);
    bank.load();
    const auto clicks = bank.source.getSelectedClicks();
    ASSERT_NE (clicks.high, nullptr);
    EXPECT_EQ (clicks.high->getNumSamples(), 120);
}

TEST (ClickSamples, ARateChangeRebuildsTheBankAndTheSameRateDoesNot)
{
    Bank bank;
    AssetFolders::writeTone (bank.assets.clicks, "clic_high.wav", 44100.0, 441, 0.9f);
    bank.source.prepareToPlay (512, 48000.0);
    bank.load();
    const auto first = bank.source.getSelectedClicks().high;
    ASSERT_NE (first, nullptr);

    bank.source.prepareToPlay (256, 48000.0);
    EXPECT_EQ (bank.source.getSelectedClicks().high, first); // the same buffer

    std::atomic<bool> rateChanged { false };
    bank.source.deviceRateChangedFlag = &rateChanged;
    bank.source.prepareToPlay (512, 96000.0);
    const auto converted = bank.source.getSelectedClicks().high;
    ASSERT_NE (converted, nullptr);
    EXPECT_NE (converted, first);
    EXPECT_EQ (converted->getNumSamples(), 960 + 16);
    EXPECT_TRUE (rateChanged.load());
    // The count-in's earlier reference still holds the old conversion whole.
    EXPECT_EQ (first->getNumSamples(), (int) (441.0 * 48000.0 / 44100.0) + 16);
}
