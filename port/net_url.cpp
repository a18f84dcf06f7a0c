#include "port/net_url.h"

#include <cstring>

namespace {

// Matches `prefix` at the start of `text`, ignoring the case of letters.
bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *prefix) return false;
    }
    return true;
}

bool NameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

bool V6Char(char c) {
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' || c == '.';
}

}  // namespace

int NetParseUrl(const char* name, NetAddress* out) {
    if (name == nullptr) return NET_URL_NOT_URL;
    int scheme = NET_SCHEME_NONE;
    const char* p = name;
    if (StartsWithNoCase(name, "rfc2217://")) {
        scheme = NET_SCHEME_RFC2217;
        p += 10;
    } else if (StartsWithNoCase(name, "socket://")) {
        scheme = NET_SCHEME_RAW;
        p += 9;
    } else {
        return NET_URL_NOT_URL;
    }
    const char* hostStart = p;
    const char* hostEnd = nullptr;
    if (*p == '[') {
        hostStart = ++p;
        while (*p != '\0' && *p != ']') {
            if (!V6Char(*p)) return NET_URL_BAD_HOST;
            ++p;
        }
        if (*p != ']') return NET_URL_BAD_HOST;
        hostEnd = p++;
        if (hostEnd == hostStart) return NET_URL_NO_HOST;
    } else {
        while (*p != '\0' && *p != ':') {
            if (!NameChar(*p)) return NET_URL_BAD_HOST;
            ++p;
        }
        hostEnd = p;
        if (hostEnd == hostStart) return NET_URL_NO_HOST;
    }
    if (*p != ':' || p[1] == '\0') return *p == '\0' || *p == ':' ? NET_URL_NO_PORT : NET_URL_BAD_HOST;
    ++p;
    long port = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || port > 65535) return NET_URL_BAD_PORT;
        port = port * 10 + (*p - '0');
    }
    if (port < 1 || port > 65535) return NET_URL_BAD_PORT;
    size_t hostLength = static_cast<size_t>(hostEnd - hostStart);
    if (hostLength >= NET_HOST_BYTES) return NET_URL_BAD_HOST;
    out->scheme = scheme;
    std::memcpy(out->host, hostStart, hostLength);
    out->host[hostLength] = '\0';
    out->port = static_cast<int>(port);
    return NET_URL_OK;
}

const char* NetUrlProblem(int result) {
    switch (result) {
        case NET_URL_NO_HOST: return "no host before the port (rfc2217://HOST:PORT or socket://HOST:PORT)";
        case NET_URL_BAD_HOST:
            return "the host is not a name, an IPv4 address or an IPv6 address in brackets ([::1])";
        case NET_URL_NO_PORT: return "no TCP port after the host (rfc2217://HOST:PORT or socket://HOST:PORT)";
        case NET_URL_BAD_PORT: return "the TCP port is not a number 1..65535";
        default: return "";
    }
}
