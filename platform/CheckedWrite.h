#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

namespace quorvelle::platform
{
// Replaces a file only once its new content is known to be complete.
//
// The content goes to a hidden temporary file in the target's folder; every write, the flush and
// the close are checked, and only then is the temporary file renamed over the target. On any
// failure (or when the replacement is dropped without `commit`) the temporary file is removed and
// the target keeps what it held. Not JUCE 7's `File::replaceWithData`, which renames a partial
// file over the target.
//
// Threads: one object per writer thread; nothing is shared.
class CheckedReplacement final
{
public:
    // `temporaryName` names the temporary file in the target's folder (e.g. "library.tmp");
    // empty picks a hidden unique name.
    explicit CheckedReplacement (const juce::File& target, const juce::String& temporaryName = {});
    ~CheckedReplacement(); // removes the temporary file unless committed

    // False when the temporary file could not be created; `errorText` says why.
    bool isOpen() const noexcept { return fd >= 0; }

    // A stream that writes into the temporary file (buffered) and records every failure. The caller
    // may hand it to an owner that deletes it (an audio format writer); the file stays open until
    // `commit`, which first writes out what a live stream still holds. The stream must not
    // outlive this object.
    std::unique_ptr<juce::OutputStream> createStream();

    // Checks the writes, flushes to disk, closes and renames over the target. False leaves the
    // target as it was and removes the temporary file. `expectedBytes` >= 0 also requires the
    // file to have exactly that size.
    bool commit (juce::int64 expectedBytes = -1);
    // As above, and `verify` reads the closed temporary file before the rename: a non-empty answer
    // is the failure's text (e.g. a WAV whose sample count is not the one written).
    bool commit (juce::int64 expectedBytes, const std::function<juce::String (const juce::File&)>& verify);

    // Removes the temporary file; the target stays as it was.
    void abandon();

    bool hasFailed() const noexcept { return failed; }
    // True when the content was complete and only the final rename over the target failed.
    bool failedAtRename() const noexcept { return renameFailed; }
    juce::String errorText() const { return error; }
    juce::File getTemporaryFile() const { return temporary; }
    juce::File getTarget() const { return target; }

private:
    class Stream;
    void fail (const juce::String& what, int errorNumber);

    juce::File target, temporary;
    int fd = -1;
    bool failed = false, committed = false, renameFailed = false;
    juce::int64 furthestByte = 0;
    Stream* liveStream = nullptr;
    juce::String error;

    JUCE_DECLARE_NON_COPYABLE (CheckedReplacement)
};

// One-shot forms. Each returns false (and fills `error` when given) with the target untouched.
bool replaceFileWithData (const juce::File& target, const void* data, size_t numBytes,
                          juce::String* error = nullptr, const juce::String& temporaryName = {});
// The text is written as its UTF-8 bytes, unchanged.
bool replaceFileWithText (const juce::File& target, const juce::String& text,
                          juce::String* error = nullptr, const juce::String& temporaryName = {});
// `write` fills the stream; returning false abandons the replacement.
bool replaceFileUsing (const juce::File& target, const std::function<bool (juce::OutputStream&)>& write,
                       juce::String* error = nullptr, const juce::String& temporaryName = {});

// Moves `source` to `target`, replacing it. Within one file system this is a rename. Across file
// systems the source is copied into a temporary file beside the target, checked, renamed over the
// target, and only then deleted. Not `File::moveFileTo`, which deletes the destination first.
bool moveFileReplacing (const juce::File& source, const juce::File& target, juce::String* error = nullptr);

// Tests make a write fail at a chosen byte offset of the next replacements (-1 restores).
void setWriteFailureAtByteForTesting (juce::int64 offset);
} // namespace quorvelle::platform
