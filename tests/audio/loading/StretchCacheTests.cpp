// The stretch cache on disk: file names, the write rule with its pruning and failures, and the
// three folder actions (garbage collection with eviction, one song, everything).
#include "audio/loading/StretchCache.h"

#include "platform/CheckedWrite.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <juce_audio_formats/juce_audio_formats.h>

namespace quorvelle::test
{
namespace
{
juce::String relativeTo (const juce::File& file, const juce::File& root) { return file.getRelativePathFrom (root); }

void touch (const juce::File& file, juce::int64 bytes = 10, juce::int64 modificationMs = 0)
{
    file.getParentDirectory().createDirectory();
    juce::MemoryBlock block ((size_t) bytes, true);
    ASSERT_TRUE (file.replaceWithData (block.getData(), block.getSize()));
    if (modificationMs > 0)
        ASSERT_TRUE (file.setLastModificationTime (juce::Time (modificationMs)));
}

juce::AudioBuffer<float> ramp (int channels, int samples)
{
    juce::AudioBuffer<float> buffer (channels, samples);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            buffer.setSample (c, i, (float) ((i % 200) - 100 + c) / 256.0f);
    return buffer;
}

struct LogLines
{
    juce::StringArray lines;
    std::function<void (const juce::String&)> sink() { return [this] (const juce::String& l) { lines.add (l); }; }
};
} // namespace

TEST (StretchCache, NamesEncodeSongTrackRatioKeyAndRate)
{
    TempFolder root;
    const struct { const char* song; const char* track; double ratio; float semitones; double rate; const char* expected; } rows[] = {
        { "s1", "g1", 1.1, 2.0f, 48000.0, "Songs/s1/stretched/g1_110000_2000_48000_v4.wav" },
        { "s1", "g1", 0.95, -1.5f, 44100.0, "Songs/s1/stretched/g1_95000_-1500_44100_v4.wav" },
        { "s1", "g1", 1.0, 0.0f, 44100.9, "Songs/s1/stretched/g1_100000_0_44100_v4.wav" },
        { "s:1", "a/b", 1.0, 0.0f, 48000.0, "Songs/s_1/stretched/a_b_100000_0_48000_v4.wav" },
        { "s1", "x*?\"<>|\\", 1.25, 12.0f, 48000.0, "Songs/s1/stretched/x________125000_12000_48000_v4.wav" },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.expected);
        const auto path = stretchCachePath (root.folder(), row.song, row.track, row.ratio, row.semitones, row.rate);
        EXPECT_EQ (relativeTo (path, root.folder()), row.expected);
        EXPECT_TRUE (path.getParentDirectory().isDirectory());
    }
}

TEST (StretchCache, AWriteKeepsOneSetPerTrackAndRemovesOlderGenerations)
{
    TempFolder root;
    const auto path = stretchCachePath (root.folder(), "s1", "g1", 1.1, 2.0f, 48000.0);
    const auto folder = path.getParentDirectory();
    for (const auto* name : { "g1_100000_0_48000_v4.wav", "g1_95000_-1500_44100_v4.wav", "g1_2_110000_2000_48000_v4.wav",
                              "g1_110000_2000_48000_v1.wav", "g1_110000_2000_48000_v3.wav", "g1_110000_2000_48000_v4.wav.tmp",
                              "h1_110000_2000_48000_v4.wav", "G1_100000_0_48000_v4.wav", "g1_100000_0_48000_v2.wav" })
        touch (folder.getChildFile (name));

    LogLines log;
    const auto buffer = ramp (2, 5000);
    ASSERT_TRUE (writeStretchCacheFile (path, "g1", buffer, 48000.0, log.sink()));

    juce::StringArray left;
    for (const auto& f : folder.findChildFiles (juce::File::findFiles, false, "*"))
        left.add (f.getFileName());
    left.sort (false);
    // Other tracks (prefix compared with case) and other generations of other sets stay.
    EXPECT_EQ (left.joinIntoString (","), "G1_100000_0_48000_v4.wav,g1_100000_0_48000_v2.wav,g1_110000_2000_48000_v4.wav,h1_110000_2000_48000_v4.wav");
    EXPECT_EQ (log.lines.joinIntoString ("|"), "[STRETCH-PRUNE] trk=g1 borrados 3 set(s) viejo(s)");

    // The file is 16-bit PCM at the rate, holding the buffer from its first sample.
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (path.createInputStream().release(), true));
    ASSERT_NE (reader, nullptr);
    EXPECT_EQ (reader->bitsPerSample, 16u);
    EXPECT_EQ (reader->sampleRate, 48000.0);
    EXPECT_EQ (reader->numChannels, 2u);
    ASSERT_EQ (reader->lengthInSamples, 5000);
    juce::AudioBuffer<float> back (2, 5000);
    ASSERT_TRUE (reader->read (&back, 0, 5000, 0, true, true));
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 5000; ++i)
            ASSERT_EQ (back.getSample (c, i), buffer.getSample (c, i)) << c << ":" << i;

    // The pre-stretch's line names the preload.
    LogLines preloadLog;
    touch (folder.getChildFile ("g1_90000_0_48000_v4.wav"));
    ASSERT_TRUE (writeStretchCacheFile (path, "g1", buffer, 48000.0, preloadLog.sink(), true));
    EXPECT_EQ (preloadLog.lines.joinIntoString ("|"), "[STRETCH-PRUNE] preload trk=g1 borrados 1 set(s) viejo(s)");
}

TEST (StretchCache, AFailedWriteLeavesNoFileAndKeepsTheOldOne)
{
    TempFolder root;
    const auto buffer = ramp (1, 48000);

    // No folder can be made: nothing is written.
    const auto blocker = root / "blocker";
    touch (blocker);
    LogLines noFolder;
    const auto unreachable = blocker.getChildFile ("g1_110000_0_48000_v4.wav");
    EXPECT_FALSE (writeStretchCacheFile (unreachable, "g1", buffer, 48000.0, noFolder.sink()));
    ASSERT_EQ (noFolder.lines.size(), 1);
    EXPECT_TRUE (noFolder.lines[0].startsWith ("[STRETCH-CACHE] WRITE FAILED (createOutputStream/writer) "));
    EXPECT_TRUE (noFolder.lines[0].endsWith (" en disco | " + unreachable.getFullPathName()));

    // A write that fails half way leaves the previous cache file and its siblings as they were.
    const auto path = stretchCachePath (root.folder(), "s1", "g1", 1.1, 0.0f, 48000.0);
    touch (path, 1234);
    touch (path.getSiblingFile ("g1_95000_0_48000_v4.wav"));
    platform::setWriteFailureAtByteForTesting (20000);
    LogLines shortWrite;
    const auto ok = writeStretchCacheFile (path, "g1", buffer, 48000.0, shortWrite.sink());
    platform::setWriteFailureAtByteForTesting (-1);
    EXPECT_FALSE (ok);
    EXPECT_EQ (path.getSize(), 1234);
    EXPECT_TRUE (path.getSiblingFile ("g1_95000_0_48000_v4.wav").existsAsFile());
    EXPECT_FALSE (path.getSiblingFile (path.getFileName() + ".tmp").exists());
    ASSERT_EQ (shortWrite.lines.size(), 1);
    EXPECT_TRUE (shortWrite.lines[0].startsWith ("[STRETCH-CACHE] WRITE FAILED"));
}

TEST (StretchCache, GarbageCollectionKeepsListedSongsEvictsOldestAboveTheCapAndDropsTheRest)
{
    const juce::String legacyKept = "0f8fad5b-d9cb-469f-a165-70867728950e";
    const juce::String legacyOrphan = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
    const juce::int64 base = juce::Time (2026, 0, 1, 0, 0).toMilliseconds();

    const auto populate = [&] (const juce::File& root)
    {
        touch (root.getChildFile ("Songs/keep/stretched/old_v4.wav"), 1000, base);
        touch (root.getChildFile ("Songs/keep/stretched/new_v4.wav"), 1000, base + 60000);
        touch (root.getChildFile ("Songs/keep/stretched/half.wav.tmp"), 5);
        touch (root.getChildFile ("Songs/keep/song.json"), 5);
        touch (root.getChildFile ("Songs/orphan/stretched/a_v4.wav"), 1000);
        touch (root.getChildFile ("Songs/orphan/song.json"), 5);
        touch (root.getChildFile (legacyKept + "/stretched/mid_v4.wav"), 1000, base + 30000);
        touch (root.getChildFile (legacyOrphan + "/stretched/b_v4.wav"), 1000);
        touch (root.getChildFile ("not-a-uuid/stretched/c_v4.wav"), 1000);
        touch (root.getChildFile ("stretch_cache/x.wav"), 1000);
    };

    const struct
    {
        const char* name;
        juce::StringArray keep;
        juce::int64 cap;
        juce::StringArray remaining; // of the kept songs' wav files
        int orphans, evicted;
    } rows[] = {
        { "cap above the total", { "keep", legacyKept }, 1LL << 31, { "old_v4.wav", "new_v4.wav", "mid_v4.wav" }, 3, 0 },
        { "cap evicts the oldest", { "keep", legacyKept }, 2000, { "new_v4.wav", "mid_v4.wav" }, 3, 1 },
        { "cap 0 evicts every file", { "keep", legacyKept }, 0, {}, 3, 3 },
        { "nothing kept", {}, 1LL << 31, {}, 5, 0 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        TempFolder temp;
        const auto root = temp.folder();
        populate (root);

        const auto line = runStretchCacheGc (root, row.keep, row.cap);

        juce::StringArray remaining;
        for (const auto& folder : { root.getChildFile ("Songs/keep/stretched"), root.getChildFile (legacyKept + "/stretched") })
            for (const auto& f : folder.findChildFiles (juce::File::findFiles, false, "*.wav"))
                remaining.add (f.getFileName());
        juce::StringArray expected (row.remaining);
        remaining.sort (false);
        expected.sort (false);
        EXPECT_EQ (remaining.joinIntoString (","), expected.joinIntoString (","));

        EXPECT_FALSE (root.getChildFile ("Songs/orphan/stretched").exists());
        EXPECT_TRUE (root.getChildFile ("Songs/orphan/song.json").existsAsFile());
        EXPECT_FALSE (root.getChildFile (legacyOrphan + "/stretched").exists());
        EXPECT_TRUE (root.getChildFile ("not-a-uuid/stretched/c_v4.wav").existsAsFile());
        EXPECT_FALSE (root.getChildFile ("stretch_cache").exists());
        EXPECT_FALSE (root.getChildFile ("Songs/keep/stretched/half.wav.tmp").exists());
        EXPECT_EQ (root.getChildFile ("Songs/keep/stretched").isDirectory(), row.keep.contains ("keep"));

        EXPECT_TRUE (line.startsWith ("[STRETCH-GC] boot GC | hu" + juce::String::fromUTF8 ("\xc3\xa9") + "rfanos=" + juce::String (row.orphans)
                                      + " | evictados por tope=" + juce::String (row.evicted) + " | en uso="))
            << line;
        EXPECT_TRUE (line.endsWith ("MB | conservadas=" + juce::String (row.keep.size()) + " canci" + juce::String::fromUTF8 ("\xc3\xb3")
                                    + "n(es) con pref activa"))
            << line;
    }

    // The sizes in the line: what stays after the eviction, and the cap.
    TempFolder temp;
    for (int i = 0; i < 3; ++i)
        touch (temp.folder().getChildFile ("Songs/keep/stretched/" + juce::String (i) + "_v4.wav"), 1 << 20, base + i * 1000);
    const auto line = runStretchCacheGc (temp.folder(), { "keep" }, 5 * (1 << 19));
    EXPECT_TRUE (line.contains ("| evictados por tope=1 | en uso=2.0MB / tope=3MB |")) << line;
    EXPECT_FALSE (temp.folder().getChildFile ("Songs/keep/stretched/0_v4.wav").exists());
}

TEST (StretchCache, ClearingOneSongOrEverything)
{
    TempFolder temp;
    const auto root = temp.folder();
    const juce::String uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
    touch (root.getChildFile ("Songs/s1/stretched/a_v4.wav"));
    touch (root.getChildFile ("s1/stretched/b_v4.wav"));
    touch (root.getChildFile ("Songs/s1/song.json"));
    touch (root.getChildFile ("Songs/s2/stretched/c_v4.wav"));
    touch (root.getChildFile (uuid + "/stretched/d_v4.wav"));
    touch (root.getChildFile ("stretch_cache/e.wav"));

    EXPECT_EQ (clearSongStretchCache (root, "s1-very-long-id"), "[STRETCH-GC] cach" + juce::String::fromUTF8 ("\xc3\xa9") + " de canci"
                                                                   + juce::String::fromUTF8 ("\xc3\xb3") + "n borrado | song=s1-very-");
    EXPECT_TRUE (root.getChildFile ("Songs/s1/stretched").isDirectory());
    clearSongStretchCache (root, "s1");
    EXPECT_FALSE (root.getChildFile ("Songs/s1/stretched").exists());
    EXPECT_FALSE (root.getChildFile ("s1/stretched").exists());
    EXPECT_TRUE (root.getChildFile ("Songs/s1/song.json").existsAsFile());
    EXPECT_TRUE (root.getChildFile ("Songs/s2/stretched").isDirectory());

    EXPECT_EQ (clearAllStretchCaches (root), "[STRETCH-CLEAR] borradas 3 carpeta(s) stretched/ en disco");
    EXPECT_FALSE (root.getChildFile ("Songs/s2/stretched").exists());
    EXPECT_FALSE (root.getChildFile (uuid + "/stretched").exists());
    EXPECT_FALSE (root.getChildFile ("stretch_cache").exists());
    EXPECT_EQ (clearAllStretchCaches (root), "[STRETCH-CLEAR] borradas 0 carpeta(s) stretched/ en disco");
}

TEST (StretchCache, ClearingASongCleansItsIdLikeTheWriters)
{
    TempFolder temp;
    const auto root = temp.folder().getChildFile ("root");
    touch (root.getChildFile ("Songs/a_b/stretched/t_v4.wav"));
    touch (root.getChildFile ("Songs/stretched/u_v4.wav"));
    touch (root.getChildFile ("stretched/v_v4.wav"));
    touch (root.getChildFile ("Songs/x/stretched/w_v4.wav"));
    touch (temp.folder().getChildFile ("stretched/outside_v4.wav"));
    touch (temp.folder().getChildFile ("x/stretched/outside_v4.wav"));

    const struct { const char* id; bool answers; } rows[] = { { "", false }, { ".", false }, { "..", false }, { "../x", true } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.id);
        EXPECT_EQ (clearSongStretchCache (root, row.id).isNotEmpty(), row.answers);
    }
    for (const char* kept : { "root/Songs/a_b/stretched/t_v4.wav", "root/Songs/stretched/u_v4.wav", "root/stretched/v_v4.wav",
                              "root/Songs/x/stretched/w_v4.wav", "stretched/outside_v4.wav", "x/stretched/outside_v4.wav" })
        EXPECT_TRUE (temp.folder().getChildFile (kept).existsAsFile()) << kept;

    // "a/b" is where the writers put song "a/b": "Songs/a_b".
    EXPECT_TRUE (clearSongStretchCache (root, "a/b").endsWith ("| song=a/b"));
    EXPECT_FALSE (root.getChildFile ("Songs/a_b/stretched").exists());
    EXPECT_TRUE (root.getChildFile ("Songs/x/stretched/w_v4.wav").existsAsFile());
}
} // namespace quorvelle::test
