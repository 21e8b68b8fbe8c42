#include "platform/RegularFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvelle::platform
{
bool isRegularFile (const juce::File& file)
{
    struct stat info {};
    return file != juce::File() && ::stat (file.getFullPathName().toRawUTF8(), &info) == 0 && S_ISREG (info.st_mode);
}

std::optional<std::string> readSmallRegularFile (const juce::File& file, std::size_t maxBytes)
{
    if (file == juce::File())
        return std::nullopt;
    const int fd = ::open (file.getFullPathName().toRawUTF8(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;

    std::optional<std::string> content;
    struct stat info {};
    if (::fstat (fd, &info) == 0 && S_ISREG (info.st_mode) && static_cast<std::size_t> (info.st_size) <= maxBytes)
    {
        // The size is only read once: a file that grows meanwhile is still cut at the bound.
        std::string text (maxBytes + 1, '\0');
        std::size_t filled = 0;
        bool ok = true;
        while (filled < text.size())
        {
            const auto n = ::read (fd, text.data() + filled, text.size() - filled);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                ok = false;
            if (n <= 0)
                break;
            filled += static_cast<std::size_t> (n);
        }
        if (ok && filled <= maxBytes)
        {
            text.resize (filled);
            content = std::move (text);
        }
    }
    ::close (fd);
    return content;
}
} // namespace quorvelle::platform
