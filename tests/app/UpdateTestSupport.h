// Test side of the update flow: a zip writer that keeps Unix modes, a loopback HTTP file server,
// and a release feed folder (manifest and package) built from them.
#pragma once

#include <juce_core/juce_core.h>
#include <juce_cryptography/juce_cryptography.h>

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorvelle::test
{
struct ZipItem
{
    juce::String name;     // "/"-separated; a trailing "/" makes a folder
    juce::MemoryBlock data;
    int mode = 0644;
};

// Writes a stored (uncompressed) zip whose entries carry their Unix modes, as `zip` does.
inline bool writeStoredZip (const juce::File& target, const std::vector<ZipItem>& items)
{
    static const auto table = []
    {
        std::array<uint32_t, 256> t {};
        for (uint32_t i = 0; i < 256; ++i)
        {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    const auto crc32 = [] (const juce::MemoryBlock& block)
    {
        uint32_t c = 0xffffffffu;
        for (size_t i = 0; i < block.getSize(); ++i)
            c = table[(c ^ static_cast<const uint8_t*> (block.getData())[i]) & 0xff] ^ (c >> 8);
        return c ^ 0xffffffffu;
    };

    target.deleteFile();
    juce::FileOutputStream out (target);
    if (! out.openedOk())
        return false;
    juce::MemoryOutputStream directory;
    for (const auto& item : items)
    {
        const auto offset = (uint32_t) out.getPosition();
        const auto crc = crc32 (item.data);
        const auto size = (uint32_t) item.data.getSize();
        const auto nameLength = (uint16_t) item.name.getNumBytesAsUTF8();
        const bool folder = item.name.endsWithChar ('/');
        const uint32_t external = ((uint32_t) ((folder ? 040000 : 0100000) | item.mode) << 16) | (folder ? 0x10u : 0u);

        out.writeInt (0x04034b50);
        out.writeShort (10);
        out.writeShort (0);
        out.writeShort (0); // stored
        out.writeInt (0);   // time and date
        out.writeInt ((int) crc);
        out.writeInt ((int) size);
        out.writeInt ((int) size);
        out.writeShort ((short) nameLength);
        out.writeShort (0);
        out.write (item.name.toRawUTF8(), nameLength);
        out.write (item.data.getData(), item.data.getSize());

        directory.writeInt (0x02014b50);
        directory.writeShort ((short) (3 << 8 | 30)); // made by Unix
        directory.writeShort (10);
        directory.writeShort (0);
        directory.writeShort (0);
        directory.writeInt (0);
        directory.writeInt ((int) crc);
        directory.writeInt ((int) size);
        directory.writeInt ((int) size);
        directory.writeShort ((short) nameLength);
        directory.writeShort (0);
        directory.writeShort (0);
        directory.writeShort (0);
        directory.writeShort (0);
        directory.writeInt ((int) external);
        directory.writeInt ((int) offset);
        directory.write (item.name.toRawUTF8(), nameLength);
    }
    const auto directoryStart = (uint32_t) out.getPosition();
    out.write (directory.getData(), directory.getDataSize());
    out.writeInt (0x06054b50);
    out.writeShort (0);
    out.writeShort (0);
    out.writeShort ((short) items.size());
    out.writeShort ((short) items.size());
    out.writeInt ((int) directory.getDataSize());
    out.writeInt ((int) directoryStart);
    out.writeShort (0);
    out.flush();
    return ! out.getStatus().failed();
}

inline juce::MemoryBlock textBlock (const juce::String& text) { return juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8()); }

inline juce::String sha256Of (const juce::File& file) { return juce::SHA256 (file).toHexString(); }

// Writes "release.json" into `feed` for `package` (a file already in `feed`).
inline void writeManifest (const juce::File& feed, const juce::String& version, const juce::File& package)
{
    juce::String json;
    json << "{\"version\": \"" << version << "\", \"package\": \"" << package.getFileName() << "\", \"size\": " << package.getSize()
         << ", \"sha256\": \"" << sha256Of (package) << "\"}";
    feed.getChildFile ("release.json").replaceWithText (json, false, false, "\n");
}

// Serves the files of one folder over HTTP/1.1 on 127.0.0.1 (an ephemeral port), one request per
// connection, until destroyed.
class LoopbackFileServer
{
public:
    explicit LoopbackFileServer (const juce::File& folder) : root (folder)
    {
        listener = ::socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
        socklen_t length = sizeof (address);
        if (listener < 0 || ::bind (listener, (sockaddr*) &address, sizeof (address)) != 0 || ::listen (listener, 16) != 0
            || ::getsockname (listener, (sockaddr*) &address, &length) != 0 || ::pipe2 (wake, O_CLOEXEC) != 0)
            return;
        boundPort = ntohs (address.sin_port);
        thread = std::thread ([this] { run(); });
    }

    ~LoopbackFileServer()
    {
        if (thread.joinable())
        {
            [[maybe_unused]] auto n = ::write (wake[1], "x", 1);
            thread.join();
        }
        for (int fd : { listener, wake[0], wake[1] })
            if (fd >= 0)
                ::close (fd);
    }

    int port() const { return boundPort; }
    juce::String url() const { return "http://127.0.0.1:" + juce::String (boundPort); }
    int requestCount() const { return requests.load(); }

private:
    void run()
    {
        for (;;)
        {
            pollfd fds[2] { { listener, POLLIN, 0 }, { wake[0], POLLIN, 0 } };
            if (::poll (fds, 2, -1) < 0)
                continue;
            if (fds[1].revents != 0)
                return;
            const int client = ::accept4 (listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
            {
                serve (client);
                ::close (client);
            }
        }
    }

    void serve (int client)
    {
        std::string request;
        char buffer[4096];
        while (request.find ("\r\n\r\n") == std::string::npos)
        {
            const auto got = ::recv (client, buffer, sizeof (buffer), 0);
            if (got <= 0)
                return;
            request.append (buffer, (size_t) got);
        }
        ++requests;
        const auto firstLine = juce::String (request.substr (0, request.find ("\r\n")));
        const auto path = firstLine.fromFirstOccurrenceOf (" /", false, false).upToFirstOccurrenceOf (" ", false, false);
        const auto file = root.getChildFile (path);
        const int fd = path.contains ("..") ? -1 : ::open (file.getFullPathName().toRawUTF8(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || ::fstat (fd, &info) != 0 || ! S_ISREG (info.st_mode))
        {
            const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            ::send (client, notFound.data(), notFound.size(), MSG_NOSIGNAL);
            if (fd >= 0)
                ::close (fd);
            return;
        }
        const auto header = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string (info.st_size)
                            + "\r\nConnection: close\r\n\r\n";
        ::send (client, header.data(), header.size(), MSG_NOSIGNAL);
        off_t offset = 0;
        while (offset < info.st_size)
            if (::sendfile (client, fd, &offset, (size_t) (info.st_size - offset)) <= 0)
                break;
        ::close (fd);
    }

    const juce::File root;
    int listener = -1, wake[2] { -1, -1 };
    int boundPort = 0;
    std::atomic<int> requests { 0 };
    std::thread thread;
};
} // namespace quorvelle::test
