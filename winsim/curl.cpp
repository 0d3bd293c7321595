// curl.exe stand-in for the HTTPS probes: takes the probe's 13 arguments, opens the tunnel with
// CONNECT through the --proxy HTTP proxy to the --resolve pinned address, and succeeds when the
// proxy answers 200. No TLS is spoken: the far side is the simulated tunnel. Fault switch
// "curlTimeout": true (every target) or a host name makes it time out as curl does.

#include <winsock2.h>
#include <ws2tcpip.h>

#include "common/sim.h"

using namespace winsim;

namespace {

int fail_with(int code, const std::string& line) {
    err("curl: (" + std::to_string(code) + ") " + line + "\n");
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("curl", argc, argv);
    std::string proxy, resolve, url;
    bool head = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--proxy" && i + 1 < args.size()) proxy = args[++i];
        else if (a == "--resolve" && i + 1 < args.size()) resolve = args[++i];
        else if ((a == "--connect-timeout" || a == "--max-time") && i + 1 < args.size()) ++i;
        else if (a == "-I") head = true;
        else if (a.rfind("--", 0) == 0) continue;
        else url = a;
    }
    // host:443:address, and http://127.0.0.1:PORT
    size_t c1 = resolve.find(':');
    size_t c2 = resolve.find(':', c1 + 1);
    const std::string prefix = "http://";
    size_t colon = proxy.rfind(':');
    if (url.rfind("https://", 0) != 0 || !head || c2 == std::string::npos || proxy.rfind(prefix, 0) != 0 ||
        colon == std::string::npos) {
        return fail_with(2, "option parsing failed: this simulated curl serves the tunnel probe only");
    }
    std::string host = resolve.substr(0, c1);
    std::string pinned = resolve.substr(c2 + 1);
    nlohmann::json timeout = fault("curlTimeout");
    if ((timeout.is_boolean() && timeout.get<bool>()) || (timeout.is_string() && timeout.get<std::string>() == host)) {
        Sleep(200);
        return fail_with(28, "Operation timed out after 12001 milliseconds with 0 bytes received");
    }
    std::string proxy_host = proxy.substr(prefix.size(), colon - prefix.size());
    int proxy_port = std::atoi(proxy.c_str() + colon + 1);

    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(proxy_port));
    inet_pton(AF_INET, proxy_host.c_str(), &address.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail_with(7, "Failed to connect to " + proxy_host + " port " + std::to_string(proxy_port) +
                                " after 0 ms: Could not connect to server");
    }
    std::string request = "CONNECT " + pinned + ":443 HTTP/1.1\r\nHost: " + host + ":443\r\n\r\n";
    send(s, request.data(), static_cast<int>(request.size()), 0);
    std::string reply;
    char ch;
    while (reply.find("\r\n\r\n") == std::string::npos && recv(s, &ch, 1, 0) == 1) reply += ch;
    closesocket(s);
    if (reply.rfind("HTTP/1.1 200", 0) != 0 && reply.rfind("HTTP/1.0 200", 0) != 0) {
        std::string status = reply.size() >= 12 ? reply.substr(9, 3) : "000";
        return fail_with(56, "CONNECT tunnel failed, response " + status);
    }
    out("HTTP/1.1 200 Connection established\n\nHTTP/2 200\ncontent-type: text/plain\n\n");
    return 0;
}
