// A scriptable HTTP back end on 127.0.0.1 for the cloud workers' tests: it records every request
// (method, path, raw header lines in order, body) and answers each from a per-route script.
#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvelle::test
{
class MockBackEnd
{
public:
    struct Request
    {
        std::string method, path;
        std::vector<std::string> headerLines; // "Name: value", as sent
        std::string body;

        // The value of the first header of that name (case-insensitive); empty when absent.
        std::string header (const std::string& name) const;
        bool hasHeader (const std::string& name) const;
        // Index of the first line starting with `prefix`, or -1.
        int headerIndex (const std::string& prefix) const;
    };

    struct Answer
    {
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        // Sends the full Content-Length but only this many body bytes, then drops the connection.
        long long cutAfter = -1;
        // Holds the request open without answering until the mock is destroyed or released.
        bool stall = false;
        // Sent as a "Location" header when not empty (for redirects).
        std::string location;

        static Answer json (int status, const std::string& body) { return { status, body }; }
        static Answer bytes (const std::string& body) { return { 200, body, "application/octet-stream" }; }
    };

    MockBackEnd();
    ~MockBackEnd();

    int port() const { return boundPort; }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string (boundPort); }

    // Answers for "METHOD /path" (query included): scripted answers are used once each in order,
    // then the route's standing answer; a route with neither gets 404.
    void script (const std::string& route, Answer answer);
    void setStanding (const std::string& route, Answer answer);

    std::vector<Request> requests() const;
    std::vector<Request> requestsTo (const std::string& path) const;
    // Waits (bounded) until `count` requests in all have been recorded.
    bool waitForRequests (size_t count, int timeoutMs = 20000) const;
    // Waits (bounded) until `count` stalled requests are being held.
    bool waitForStall (int count = 1, int timeoutMs = 20000) const;
    void releaseStalls();

private:
    void acceptLoop();
    void serve (int fd);
    Answer answerFor (const std::string& route);

    int listenFd = -1;
    int boundPort = 0;
    std::atomic<bool> stopping { false };
    std::thread acceptor;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<Request> recorded;
    std::map<std::string, std::deque<Answer>> scripted;
    std::map<std::string, Answer> standing;
    std::vector<std::thread> connections;
    std::vector<int> openFds;
    int stalled = 0;
    bool stallsReleased = false;
};
} // namespace quorvelle::test
