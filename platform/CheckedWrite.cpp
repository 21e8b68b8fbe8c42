#include "platform/CheckedWrite.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quorvelle::platform
{
namespace
{
    std::atomic<juce::int64> failAtByte { -1 };

    juce::String systemError (int errorNumber)
    {
        return juce::String::fromUTF8 (std::strerror (errorNumber));
    }

    juce::File hiddenTemporaryBeside (const juce::File& target)
    {
        const auto name = "." + target.getFileName() + "." + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()) + ".tmp";
        return target.getSiblingFile (name);
    }
} // namespace

//==============================================================================
// Collects writes in a buffer and hands them to the descriptor in large pieces, remembering every
// failure in the owning replacement. The owner flushes a live stream before it commits.
class CheckedReplacement::Stream final : public juce::OutputStream
{
public:
    explicit Stream (CheckedReplacement& ownerIn) : owner (ownerIn), buffer (capacity) { owner.liveStream = this; }

    ~Stream() override
    {
        writeOut();
        if (owner.liveStream == this)
            owner.liveStream = nullptr;
    }

    void flush() override { writeOut(); }

    bool setPosition (juce::int64 newPosition) override
    {
        if (! writeOut())
            return false;
        if (owner.fd < 0 || ::lseek (owner.fd, static_cast<off_t> (newPosition), SEEK_SET) < 0)
        {
            owner.fail ("seek failed", errno);
            return false;
        }
        filePosition = newPosition;
        return true;
    }

    juce::int64 getPosition() override { return filePosition + static_cast<juce::int64> (pending); }

    bool write (const void* data, size_t numBytes) override
    {
        if (owner.fd < 0 || owner.failed)
            return false;
        if (pending + numBytes > capacity)
        {
            if (! writeOut())
                return false;
            if (numBytes >= capacity)
                return writeDirect (static_cast<const char*> (data), numBytes);
        }
        std::memcpy (buffer.data() + pending, data, numBytes);
        pending += numBytes;
        return true;
    }

    bool writeOut()
    {
        const auto count = pending;
        pending = 0;
        return count == 0 ? ! owner.failed : writeDirect (buffer.data(), count);
    }

private:
    static constexpr size_t capacity = 1 << 16;

    bool writeDirect (const char* bytes, size_t numBytes)
    {
        if (owner.fd < 0 || owner.failed)
            return false;

        size_t done = 0;
        while (done < numBytes)
        {
            auto chunk = numBytes - done;
            const auto limit = failAtByte.load();
            if (limit >= 0)
            {
                if (filePosition >= limit)
                {
                    owner.fail ("write failed", ENOSPC);
                    return false;
                }
                chunk = std::min (chunk, static_cast<size_t> (limit - filePosition));
            }

            const auto written = ::write (owner.fd, bytes + done, chunk);
            if (written < 0)
            {
                if (errno == EINTR)
                    continue;
                owner.fail ("write failed", errno);
                return false;
            }
            if (written == 0)
            {
                owner.fail ("write made no progress", ENOSPC);
                return false;
            }
            done += static_cast<size_t> (written);
            filePosition += written;
            owner.furthestByte = std::max (owner.furthestByte, filePosition);
        }
        return true;
    }

    CheckedReplacement& owner;
    std::vector<char> buffer;
    size_t pending = 0;
    juce::int64 filePosition = 0;
};

//==============================================================================
CheckedReplacement::CheckedReplacement (const juce::File& targetIn, const juce::String& temporaryName)
    : target (targetIn),
      temporary (temporaryName.isEmpty() ? hiddenTemporaryBeside (targetIn) : targetIn.getSiblingFile (temporaryName))
{
    const auto path = temporary.getFullPathName().toRawUTF8();
    // A named temporary may be left over from an interrupted run: it is ours to replace.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (temporaryName.isEmpty() ? O_EXCL : O_TRUNC);
    fd = ::open (path, flags, 0644);
    if (fd < 0)
        fail ("cannot create " + temporary.getFullPathName(), errno);
}

CheckedReplacement::~CheckedReplacement()
{
    if (! committed)
        abandon();
}

std::unique_ptr<juce::OutputStream> CheckedReplacement::createStream()
{
    return std::make_unique<Stream> (*this);
}

void CheckedReplacement::fail (const juce::String& what, int errorNumber)
{
    if (! failed)
        error = what + ": " + systemError (errorNumber);
    failed = true;
}

bool CheckedReplacement::commit (juce::int64 expectedBytes)
{
    return commit (expectedBytes, nullptr);
}

bool CheckedReplacement::commit (juce::int64 expectedBytes, const std::function<juce::String (const juce::File&)>& verify)
{
    if (committed)
        return ! failed;

    if (liveStream != nullptr)
        liveStream->writeOut();

    if (fd >= 0 && ! failed)
    {
        if (::fsync (fd) != 0 && errno != EINVAL && errno != EROFS)
            fail ("flush failed", errno);

        struct stat info {};
        if (! failed && ::fstat (fd, &info) == 0 && info.st_size < furthestByte)
            fail ("short file", ENOSPC);
        if (! failed && expectedBytes >= 0 && info.st_size != expectedBytes)
            fail ("file holds " + juce::String (static_cast<juce::int64> (info.st_size)) + " bytes, expected "
                      + juce::String (expectedBytes),
                  EIO);
    }

    if (fd >= 0)
    {
        if (::close (fd) != 0)
            fail ("close failed", errno);
        fd = -1;
    }

    if (! failed && verify != nullptr)
        if (const auto problem = verify (temporary); problem.isNotEmpty())
            fail (problem, EIO);

    if (! failed && ::rename (temporary.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) != 0)
    {
        fail ("rename to " + target.getFullPathName() + " failed", errno);
        renameFailed = true;
    }

    if (failed)
    {
        abandon();
        return false;
    }

    committed = true;
    return true;
}

void CheckedReplacement::abandon()
{
    if (fd >= 0)
    {
        ::close (fd);
        fd = -1;
    }
    if (! committed)
        ::unlink (temporary.getFullPathName().toRawUTF8());
    committed = true;
    failed = true;
}

//==============================================================================
bool replaceFileUsing (const juce::File& target, const std::function<bool (juce::OutputStream&)>& write,
                       juce::String* error, const juce::String& temporaryName)
{
    CheckedReplacement replacement (target, temporaryName);
    bool ok = replacement.isOpen();
    if (ok)
    {
        auto stream = replacement.createStream();
        ok = write (*stream) && ! replacement.hasFailed();
        stream.reset();
        ok = ok && replacement.commit();
    }
    if (! ok)
    {
        if (error != nullptr)
            *error = replacement.errorText().isNotEmpty() ? replacement.errorText() : juce::String ("write abandoned");
        replacement.abandon();
    }
    return ok;
}

bool replaceFileWithData (const juce::File& target, const void* data, size_t numBytes, juce::String* error,
                          const juce::String& temporaryName)
{
    return replaceFileUsing (
        target, [&] (juce::OutputStream& out) { return numBytes == 0 || out.write (data, numBytes); }, error,
        temporaryName);
}

bool replaceFileWithText (const juce::File& target, const juce::String& text, juce::String* error,
                          const juce::String& temporaryName)
{
    const auto* utf8 = text.toRawUTF8();
    return replaceFileWithData (target, utf8, std::strlen (utf8), error, temporaryName);
}

bool moveFileReplacing (const juce::File& source, const juce::File& target, juce::String* error)
{
    const auto setError = [error] (const juce::String& text) {
        if (error != nullptr)
            *error = text;
        return false;
    };

    if (! source.existsAsFile())
        return setError ("no source file: " + source.getFullPathName());
    if (source == target)
        return true;

    if (::rename (source.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) == 0)
        return true;
    if (errno != EXDEV)
        return setError ("rename failed: " + systemError (errno));

    // Another file system: copy beside the target, check, replace, then let go of the source.
    juce::FileInputStream in (source);
    if (! in.openedOk())
        return setError ("cannot read " + source.getFullPathName());

    const auto size = in.getTotalLength();
    CheckedReplacement replacement (target);
    if (! replacement.isOpen())
        return setError (replacement.errorText());
    {
        auto out = replacement.createStream();
        juce::HeapBlock<char> buffer (1 << 16);
        for (;;)
        {
            const auto got = in.read (buffer, 1 << 16);
            if (got <= 0)
                break;
            if (! out->write (buffer, static_cast<size_t> (got)))
                break;
        }
    }
    if (! replacement.commit (size))
        return setError (replacement.errorText());

    if (! source.deleteFile())
        return setError ("copied, but the source could not be removed: " + source.getFullPathName());
    return true;
}

void setWriteFailureAtByteForTesting (juce::int64 offset)
{
    failAtByte.store (offset);
}
} // namespace quorvelle::platform
