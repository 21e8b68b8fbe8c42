#include "platform/FrontEndHost.h"

#include "platform/ReaderThreads.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

namespace quorvelle::platform
{
//==============================================================================
juce::String originOfUrl (const juce::String& url)
{
    const auto schemeEnd = url.indexOf ("://");
    if (schemeEnd < 0)
        return url.upToFirstOccurrenceOf ("/", false, false);

    const auto pathStart = url.indexOfChar (schemeEnd + 3, '/');
    return pathStart < 0 ? url : url.substring (0, pathStart);
}

namespace
{
void appendEscapedString (std::string& out, const juce::String& text)
{
    out.push_back ('"');
    const auto utf8 = text.toRawUTF8();
    for (auto p = reinterpret_cast<const unsigned char*> (utf8); *p != 0; ++p)
    {
        const auto c = *p;
        switch (c)
        {
            case '"':  out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20)
                {
                    static const char* hex = "0123456789abcdef";
                    out += "\\u00";
                    out.push_back (hex[c >> 4]);
                    out.push_back (hex[c & 15]);
                }
                else
                {
                    out.push_back ((char) c);
                }
        }
    }
    out.push_back ('"');
}

void appendDouble (std::string& out, double d)
{
    if (! std::isfinite (d))
    {
        out += "null";
        return;
    }

    if (d == std::trunc (d) && std::abs (d) < 9007199254740992.0)
    {
        out += std::to_string ((long long) d);
        return;
    }

    char buffer[64];
    const auto result = std::to_chars (buffer, buffer + sizeof (buffer), d);
    out.append (buffer, result.ptr);
}

void appendValue (std::string& out, const juce::var& v, int depth)
{
    if (depth > 1000)
    {
        out += "null";
        return;
    }

    if (v.isVoid() || v.isUndefined())
        out += "null";
    else if (v.isBool())
        out += ((bool) v ? "true" : "false");
    else if (v.isInt() || v.isInt64())
        out += std::to_string ((juce::int64) v);
    else if (v.isDouble())
        appendDouble (out, (double) v);
    else if (v.isString())
        appendEscapedString (out, v.toString());
    else if (auto* array = v.getArray())
    {
        out.push_back ('[');
        bool first = true;
        for (const auto& element : *array)
        {
            if (! first)
                out.push_back (',');
            first = false;
            appendValue (out, element, depth + 1);
        }
        out.push_back (']');
    }
    else if (auto* object = v.getDynamicObject())
    {
        out.push_back ('{');
        bool first = true;
        for (const auto& property : object->getProperties())
        {
            if (! first)
                out.push_back (',');
            first = false;
            appendEscapedString (out, property.name.toString());
            out.push_back (':');
            appendValue (out, property.value, depth + 1);
        }
        out.push_back ('}');
    }
    else if (auto* block = v.getBinaryData())
        appendEscapedString (out, block->toBase64Encoding());
    else
        out += "null"; // methods and foreign objects have no JSON form
}

juce::var toVar (const nlohmann::ordered_json& j)
{
    using value_t = nlohmann::ordered_json::value_t;
    switch (j.type())
    {
        case value_t::null: return {};
        case value_t::boolean: return j.get<bool>();
        case value_t::number_integer:
        {
            const auto n = j.get<std::int64_t>();
            if (n >= std::numeric_limits<int>::min() && n <= std::numeric_limits<int>::max())
                return (int) n;
            return (juce::int64) n;
        }
        case value_t::number_unsigned:
        {
            const auto n = j.get<std::uint64_t>();
            if (n <= (std::uint64_t) std::numeric_limits<int>::max())
                return (int) n;
            if (n <= (std::uint64_t) std::numeric_limits<juce::int64>::max())
                return (juce::int64) n;
            return (double) n;
        }
        case value_t::number_float: return j.get<double>();
        case value_t::string:
        {
            const auto& s = j.get_ref<const std::string&>();
            return juce::String::fromUTF8 (s.data(), (int) s.size());
        }
        case value_t::array:
        {
            juce::Array<juce::var> list;
            list.ensureStorageAllocated ((int) j.size());
            for (const auto& element : j)
                list.add (toVar (element));
            return list;
        }
        case value_t::object:
        {
            auto* object = new juce::DynamicObject();
            juce::var result (object);
            for (const auto& [key, value] : j.items())
                object->setProperty (juce::Identifier (juce::String::fromUTF8 (key.data(), (int) key.size())), toVar (value));
            return result;
        }
        case value_t::binary:
        case value_t::discarded:
        default: return {};
    }
}
} // namespace

// Stops early once the depth exceeds the limit.
bool jsonNestingWithin (const char* data, size_t size, int maxDepth)
{
    int depth = 0;
    bool inString = false, escaped = false;
    for (size_t i = 0; i < size; ++i)
    {
        const char c = data[i];
        if (inString)
        {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
        {
            if (++depth > maxDepth)
                return false;
        }
        else if (c == ']' || c == '}')
            --depth;
    }
    return true;
}

std::string toCompactJson (const juce::var& value)
{
    std::string out;
    appendValue (out, value, 0);
    return out;
}

std::optional<juce::var> parseJsonLine (const char* data, size_t size, int maxDepth)
{
    if (! jsonNestingWithin (data, size, maxDepth))
        return std::nullopt;

    // Strict parse: UTF-8 is checked inside strings, trailing text is an error, no comments; an
    // object keeps its keys in the order of the text.
    auto parsed = nlohmann::ordered_json::parse (data, data + size, nullptr, false, false);
    if (parsed.is_discarded())
        return std::nullopt;

    return toVar (parsed);
}

//==============================================================================
RecordingFrontEndHost::RecordingFrontEndHost (juce::String r) : root (std::move (r)) {}

void RecordingFrontEndHost::setResourceProvider (ResourceProvider p, const juce::String& origin)
{
    std::scoped_lock sl (lock);
    provider = std::move (p);
    allowedOrigin = origin;
}

void RecordingFrontEndHost::setToNativeListener (ToNativeListener l)
{
    std::scoped_lock sl (lock);
    listener = std::move (l);
}

void RecordingFrontEndHost::emitEventIfVisible (const juce::Identifier& eventName, const juce::var& payload)
{
    if (! visible.load())
        return;

    std::scoped_lock sl (lock);
    recorded.push_back ({ eventName.toString(), payload });
}

void RecordingFrontEndHost::goToURL (const juce::String& url)
{
    std::scoped_lock sl (lock);
    currentUrl = url;
}

void RecordingFrontEndHost::deliverToNative (const juce::var& payload)
{
    ToNativeListener l;
    {
        std::scoped_lock sl (lock);
        l = listener;
    }
    if (l)
        l (payload);
}

std::optional<FrontEndResource> RecordingFrontEndHost::request (const juce::String& path) const
{
    ResourceProvider p;
    {
        std::scoped_lock sl (lock);
        p = provider;
    }
    if (! p)
        return std::nullopt;
    return p (path);
}

std::vector<RecordingFrontEndHost::Event> RecordingFrontEndHost::events() const
{
    std::scoped_lock sl (lock);
    return recorded;
}

void RecordingFrontEndHost::clearEvents()
{
    std::scoped_lock sl (lock);
    recorded.clear();
}

juce::String RecordingFrontEndHost::getCurrentURL() const
{
    std::scoped_lock sl (lock);
    return currentUrl;
}

juce::String RecordingFrontEndHost::getAllowedOrigin() const
{
    std::scoped_lock sl (lock);
    return allowedOrigin;
}

//==============================================================================
// State that posted closures may still reach after the host is gone: they hold it weakly.
struct StdioFrontEndHost::Shared
{
    std::mutex lock;
    ToNativeListener listener;
    std::function<void()> onEndOfInput;
};

class StdioFrontEndHost::Reader final : public juce::Thread
{
public:
    Reader (int fd, std::weak_ptr<Shared> s) : juce::Thread ("StdioBridgeReader"), inputFd (fd), shared (std::move (s)) {}

    ~Reader() override
    {
        signalThreadShouldExit();
        wakePipe.wake();
        stopThread (2000);
    }

    void run() override
    {
        std::string pending;
        std::vector<char> chunk (1 << 20);

        while (! threadShouldExit())
        {
            short revents = 0;
            const auto waited = wakePipe.waitForReadable (inputFd, revents);
            if (waited == WakePipe::Wait::interrupted)
                continue;
            if (waited == WakePipe::Wait::failed)
                break;
            if (threadShouldExit() || waited == WakePipe::Wait::woken)
                return;
            if (revents == 0)
                continue;

            const auto got = ::read (inputFd, chunk.data(), chunk.size());
            if (got < 0)
            {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                break;
            }
            if (got == 0)
                break;

            const auto scanFrom = pending.size();
            pending.append (chunk.data(), (size_t) got);

            size_t lineStart = 0;
            for (auto newline = pending.find ('\n', scanFrom); newline != std::string::npos;
                 newline = pending.find ('\n', newline + 1))
            {
                handleLine (pending.data() + lineStart, newline - lineStart);
                lineStart = newline + 1;
            }
            if (lineStart > 0)
                pending.erase (0, lineStart);
        }

        if (! pending.empty() && ! threadShouldExit())
            handleLine (pending.data(), pending.size());

        if (threadShouldExit())
            return;

        // End of input: queued behind every line already posted, so their answers go out first.
        postSharedCallback (shared, &Shared::onEndOfInput);
    }

private:
    void handleLine (const char* data, size_t size)
    {
        if (size > 0 && data[size - 1] == '\r')
            --size;

        auto parsed = parseJsonLine (data, size);
        if (! parsed.has_value())
        {
            juce::Logger::writeToLog ("[STDIO-BRIDGE] line is not valid JSON, skipped (len=" + juce::String ((juce::int64) size) + ")");
            return;
        }

        postSharedCallback (shared, &Shared::listener, std::move (*parsed));
    }

    const int inputFd;
    std::weak_ptr<Shared> shared;
    WakePipe wakePipe;
};

int StdioFrontEndHost::reserveStdoutForEvents()
{
    static const int reserved = []
    {
        const int copy = ::fcntl (STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (copy >= 0)
        {
            std::fflush (stdout);
            ::dup2 (STDERR_FILENO, STDOUT_FILENO);
        }
        return copy;
    }();
    return reserved;
}

StdioFrontEndHost::StdioFrontEndHost (std::function<void()> onEndOfInput, int inputFd, int outputFd, juce::String r)
    : root (std::move (r)), shared (std::make_shared<Shared>())
{
    shared->onEndOfInput = std::move (onEndOfInput);
    outFd = outputFd >= 0 ? outputFd : reserveStdoutForEvents();
    reader = std::make_unique<Reader> (inputFd >= 0 ? inputFd : STDIN_FILENO, shared);
}

StdioFrontEndHost::~StdioFrontEndHost()
{
    stop();
}

void StdioFrontEndHost::start()
{
    if (reader != nullptr && ! reader->isThreadRunning())
        reader->startThread();
}

void StdioFrontEndHost::stop()
{
    reader.reset();
}

void StdioFrontEndHost::setResourceProvider (ResourceProvider, const juce::String&)
{
    // Nothing fetches over stdio; the provider is reached only by a host that serves pages.
}

void StdioFrontEndHost::setToNativeListener (ToNativeListener l)
{
    std::scoped_lock sl (shared->lock);
    shared->listener = std::move (l);
}

void StdioFrontEndHost::goToURL (const juce::String& url)
{
    juce::Logger::writeToLog ("[STDIO-BRIDGE] front end would load " + url);
}

void StdioFrontEndHost::emitEventIfVisible (const juce::Identifier& eventName, const juce::var& payload)
{
    if (outFd < 0)
        return;

    // The event name travels implicitly: every line on this stream is a "fromNative" event, and
    // another name is written wrapped so a reader can still tell it apart.
    std::string line;
    if (eventName.toString() == "fromNative")
        line = toCompactJson (payload);
    else
    {
        auto* wrapper = new juce::DynamicObject();
        juce::var wrapped (wrapper);
        wrapper->setProperty ("event", eventName.toString());
        wrapper->setProperty ("payload", payload);
        line = toCompactJson (wrapped);
    }
    line.push_back ('\n');

    std::scoped_lock sl (writeLock);
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0)
    {
        const auto n = ::write (outFd, p, left);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return; // the reader went away; events have nowhere to go
        }
        p += n;
        left -= (size_t) n;
    }
}
} // namespace quorvelle::platform
