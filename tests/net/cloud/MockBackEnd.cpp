#include "MockBackEnd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quorvelle::test
{
namespace
{
std::string lower (std::string s)
{
    std::transform (s.begin(), s.end(), s.begin(), [] (unsigned char c) { return (char) std::tolower (c); });
    return s;
}

bool sendAll (int fd, const char* data, size_t size)
{
    while (size > 0)
    {
        const auto sent = ::send (fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= (size_t) sent;
    }
    return true;
}

const char* reasonOf (int status)
{
    switch (status)
    {
        case 200: return "OK";
        case 204: return "No Content";
        case 302: return "Found";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 409: return "Conflict";
        default: return "Status";
    }
}
} // namespace

std::string MockBackEnd::Request::header (const std::string& name) const
{
    const auto wanted = lower (name) + ":";
    for (const auto& line : headerLines)
    {
        if (lower (line.substr (0, wanted.size())) == wanted)
        {
            auto value = line.substr (wanted.size());
            value.erase (0, value.find_first_not_of (' '));
            return value;
        }
    }
    return {};
}

bool MockBackEnd::Request::hasHeader (const std::string& name) const
{
    const auto wanted = lower (name) + ":";
    return std::any_of (headerLines.begin(), headerLines.end(), [&] (const std::string& line) { return lower (line.substr (0, wanted.size())) == wanted; });
}

int MockBackEnd::Request::headerIndex (const std::string& prefix) const
{
    for (size_t i = 0; i < headerLines.size(); ++i)
        if (headerLines[i].rfind (prefix, 0) == 0)
            return (int) i;
    return -1;
}

MockBackEnd::MockBackEnd()
{
    listenFd = ::socket (AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind (listenFd, (sockaddr*) &address, sizeof (address)) != 0 || ::listen (listenFd, 64) != 0)
        return;
    socklen_t length = sizeof (address);
    ::getsockname (listenFd, (sockaddr*) &address, &length);
    boundPort = ntohs (address.sin_port);
    acceptor = std::thread ([this] { acceptLoop(); });
}

MockBackEnd::~MockBackEnd()
{
    stopping = true;
    ::shutdown (listenFd, SHUT_RDWR);
    ::close (listenFd);
    if (acceptor.joinable())
        acceptor.join();
    {
        std::scoped_lock sl (lock);
        stallsReleased = true;
        for (auto fd : openFds)
            ::shutdown (fd, SHUT_RDWR);
    }
    changed.notify_all();
    for (auto& t : connections)
        t.join();
}

void MockBackEnd::script (const std::string& route, Answer answer)
{
    std::scoped_lock sl (lock);
    scripted[route].push_back (std::move (answer));
}

void MockBackEnd::setStanding (const std::string& route, Answer answer)
{
    std::scoped_lock sl (lock);
    standing[route] = std::move (answer);
}

std::vector<MockBackEnd::Request> MockBackEnd::requests() const
{
    std::scoped_lock sl (lock);
    return recorded;
}

std::vector<MockBackEnd::Request> MockBackEnd::requestsTo (const std::string& path) const
{
    std::vector<Request> matching;
    for (const auto& r : requests())
        if (r.path == path)
            matching.push_back (r);
    return matching;
}

bool MockBackEnd::waitForRequests (size_t count, int timeoutMs) const
{
    std::unique_lock sl (lock);
    return changed.wait_for (sl, std::chrono::milliseconds (timeoutMs), [&] { return recorded.size() >= count; });
}

bool MockBackEnd::waitForStall (int count, int timeoutMs) const
{
    std::unique_lock sl (lock);
    return changed.wait_for (sl, std::chrono::milliseconds (timeoutMs), [&] { return stalled >= count; });
}

void MockBackEnd::releaseStalls()
{
    {
        std::scoped_lock sl (lock);
        stallsReleased = true;
    }
    changed.notify_all();
}

MockBackEnd::Answer MockBackEnd::answerFor (const std::string& route)
{
    std::scoped_lock sl (lock);
    if (auto it = scripted.find (route); it != scripted.end() && ! it->second.empty())
    {
        auto answer = it->second.front();
        it->second.pop_front();
        return answer;
    }
    if (auto it = standing.find (route); it != standing.end())
        return it->second;
    return { 404, "{\"error\":\"no route\"}" };
}

void MockBackEnd::acceptLoop()
{
    while (! stopping)
    {
        const int fd = ::accept (listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        std::scoped_lock sl (lock);
        openFds.push_back (fd);
        connections.emplace_back ([this, fd] { serve (fd); });
    }
}

void MockBackEnd::serve (int fd)
{
    std::string data;
    char buffer[65536];
    size_t headEnd;
    while ((headEnd = data.find ("\r\n\r\n")) == std::string::npos)
    {
        const auto got = ::recv (fd, buffer, sizeof (buffer), 0);
        if (got <= 0)
            return;
        data.append (buffer, (size_t) got);
    }

    Request request;
    const auto head = data.substr (0, headEnd);
    std::vector<std::string> lines;
    for (size_t start = 0; start <= head.size();)
    {
        const auto end = head.find ("\r\n", start);
        lines.push_back (head.substr (start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    const auto& first = lines.front();
    request.method = first.substr (0, first.find (' '));
    const auto pathStart = first.find (' ') + 1;
    request.path = first.substr (pathStart, first.find (' ', pathStart) - pathStart);
    request.headerLines.assign (lines.begin() + 1, lines.end());

    size_t contentLength = 0;
    if (const auto value = request.header ("Content-Length"); ! value.empty())
        contentLength = (size_t) std::stoll (value);
    if (lower (request.header ("Expect")) == "100-continue")
        sendAll (fd, "HTTP/1.1 100 Continue\r\n\r\n", 25);

    request.body = data.substr (headEnd + 4);
    while (request.body.size() < contentLength)
    {
        const auto got = ::recv (fd, buffer, sizeof (buffer), 0);
        if (got <= 0)
            break;
        request.body.append (buffer, (size_t) got);
    }

    const auto route = request.method + " " + request.path;
    {
        std::scoped_lock sl (lock);
        recorded.push_back (request);
    }
    changed.notify_all();

    const auto answer = answerFor (route);
    if (answer.stall)
    {
        std::unique_lock sl (lock);
        ++stalled;
        changed.notify_all();
        changed.wait (sl, [this] { return stallsReleased; });
    }
    else
    {
        std::string response = "HTTP/1.1 " + std::to_string (answer.status) + " " + reasonOf (answer.status) + "\r\n";
        if (answer.status != 204)
            response += "Content-Type: " + answer.contentType + "\r\nContent-Length: " + std::to_string (answer.body.size()) + "\r\n";
        if (! answer.location.empty())
            response += "Location: " + answer.location + "\r\n";
        response += "Connection: close\r\n\r\n";
        const auto bodyBytes = answer.cutAfter >= 0 ? std::min ((size_t) answer.cutAfter, answer.body.size()) : answer.body.size();
        if (sendAll (fd, response.data(), response.size()) && answer.status != 204)
            sendAll (fd, answer.body.data(), bodyBytes);
    }

    std::scoped_lock sl (lock);
    openFds.erase (std::remove (openFds.begin(), openFds.end(), fd), openFds.end());
    ::shutdown (fd, SHUT_RDWR);
    ::close (fd);
}
} // namespace quorvelle::test
