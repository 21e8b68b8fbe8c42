// An engine on the Virtual device (48 kHz, manual clock) that records every event it sends, with
// the captured log, a temporary folder for stems and the stem objects of a song request: the base
// of the song load, preload and offline-stretch tests.
#pragma once

#include "audio/engine/AudioEngine.h"
#include "platform/StorageRoot.h"
#include "platform/VirtualAudioDevice.h"
#include "tests/audio/engine/ScriptedFormat.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace quorvelle::test
{
class EngineSongTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        platform::VirtualAudioDevices::instance().reset();
        getStorageRoot().getChildFile ("audio-settings.xml").deleteFile();
        engine.getDeviceManager().addAudioDeviceType (platform::createVirtualAudioDeviceType());
        engine.getFormatManager().registerFormat (new ScriptedFormat(), false);
        engine.initSettingsFile();
        engine.setAudioDriver ("Virtual");
        ASSERT_EQ (engine.getDeviceSampleRate(), 48000.0);
        clearEvents();
    }
    void TearDown() override { platform::VirtualAudioDevices::instance().reset(); }

    static juce::String actionOf (const juce::var& e) { return e.getProperty ("action", {}).toString(); }

    // The events of `action` so far (only those of `songId` when one is given), in order.
    std::vector<juce::var> eventsOf (const juce::String& action, const juce::String& songId = {}) const
    {
        const std::scoped_lock lock (eventLock);
        std::vector<juce::var> found;
        for (const auto& e : events)
            if (actionOf (e) == action && (songId.isEmpty() || e["songId"].toString() == songId))
                found.push_back (e);
        return found;
    }
    std::vector<juce::var> allEvents() const
    {
        const std::scoped_lock lock (eventLock);
        return events;
    }
    void clearEvents()
    {
        const std::scoped_lock lock (eventLock);
        events.clear();
    }

    // Runs the message loop until a marker posted now has run: everything queued before it has.
    static void drainMessageQueue()
    {
        auto done = std::make_shared<std::atomic<bool>> (false);
        juce::MessageManager::callAsync ([done] { *done = true; });
        EXPECT_TRUE (runMessageLoopUntil ([done] { return done->load(); }));
    }

    // One stem object of a song request (JSON text), its file given by a "file://" url.
    static juce::String stem (const juce::String& id, const juce::File& file, const juce::String& type = "MELODIC", const juce::String& extra = {})
    {
        return "{\"id\": \"" + id + "\", \"name\": \"" + id + "\", \"url\": \"file://" + file.getFullPathName() + "\", \"instrumentType\": \""
               + type + "\"" + extra + "}";
    }

    CapturingLogger log;
    TempFolder temp;
    // Written from any thread (workers post and log); read under the lock.
    mutable std::mutex eventLock;
    std::vector<juce::var> events;
    AudioEngine engine { [this] (const juce::String&, const juce::var& payload)
                         {
                             const std::scoped_lock lock (eventLock);
                             events.push_back (payload);
                         },
                         [] { return getStorageRoot(); } };
};
} // namespace quorvelle::test
