// The program on the loopback front-end host (no --bridge-stdio), its start URL read from stderr.
#pragma once

#include "ProgramProcess.h"
#include "tests/support/LoopbackClients.h"

namespace quorvelle::test
{
// The program on the loopback host, with its port, token and a cookie obtained the way a browser does.
struct LoopbackProgram
{
    explicit LoopbackProgram (const std::string& program = ProgramProcess::programPath())
        : process ({ "--frontend-port=0" }, program)
    {
        if (! process.waitForStderr ("[FrontEndHost] Front end at http://127.0.0.1:", 45000))
            return;
        const auto text = process.stderrText();
        const auto at = text.find ("[FrontEndHost] Front end at ");
        const auto line = text.substr (at, text.find ('\n', at) - at);
        url = line.substr (std::string ("[FrontEndHost] Front end at ").size());
        port = std::atoi (url.substr (std::string ("http://127.0.0.1:").size()).c_str());
        token = url.substr (url.find ("?token=") + 7);
        host = "127.0.0.1:" + std::to_string (port);
    }

    std::string get (const std::string& target, const std::string& headers = "", const std::string& method = "GET")
    {
        return httpExchange (port, method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + headers + "\r\n");
    }

    std::string cookieHeader()
    {
        const auto answer = get ("/?token=" + token);
        const auto at = answer.find ("Set-Cookie: ");
        if (at == std::string::npos)
            return {};
        const auto value = answer.substr (at + 12, answer.find (';', at) - at - 12);
        return "Cookie: " + value + "\r\n";
    }

    std::string origin() const { return "http://" + host; }

    // A page's WebSocket, as the bridge script opens it.
    int openPage (WsTestClient& page, const std::string& extraHeaders)
    {
        return page.open (port, "/__host/ws", "Host: " + host + "\r\n" + extraHeaders + WsTestClient::defaultHeaders());
    }

    ProgramProcess process;
    std::string url, token, host;
    int port = 0;
};

} // namespace quorvelle::test
