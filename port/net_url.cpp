#include "port/net_url.h"

#include <cstdio>
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

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Copies the name of the parameter at `p` (up to '=', '&' or the end) for a message.
void NoteParameter(const char* p, NetAddress* out) {
    int n = 0;
    while (p[n] != '\0' && p[n] != '=' && p[n] != '&' && n < NET_PARAMETER_BYTES - 2) {
        out->parameter[n] = p[n];
        ++n;
    }
    out->parameter[n++] = '=';
    out->parameter[n] = '\0';
}

// The field a parameter fills, or nullptr for a name the URL does not take.
char* FieldFor(const char* p, size_t length, NetTlsSettings& settings, int* size) {
    struct Known {
        const char* name;
        char* field;
        int size;
    };
    const Known known[] = {{"ca", settings.ca, NET_FILE_BYTES},
                           {"cert", settings.cert, NET_FILE_BYTES},
                           {"key", settings.key, NET_FILE_BYTES},
                           {"name", settings.name, NET_HOST_BYTES}};
    for (const Known& k : known) {
        if (std::strlen(k.name) == length && std::strncmp(p, k.name, length) == 0) {
            *size = k.size;
            return k.field;
        }
    }
    return nullptr;
}

// Reads `name=value&name=value` at `p` into out->settings (%XX escapes decoded).
int ParseQuery(const char* p, bool tls, NetAddress* out) {
    std::memset(&out->settings, 0, sizeof out->settings);
    while (*p != '\0') {
        const char* nameEnd = p;
        while (*nameEnd != '\0' && *nameEnd != '=' && *nameEnd != '&') ++nameEnd;
        NoteParameter(p, out);
        int size = 0;
        char* field = FieldFor(p, static_cast<size_t>(nameEnd - p), out->settings, &size);
        if (field == nullptr) return NET_URL_UNKNOWN_PARAMETER;
        if (!tls) return NET_URL_PLAIN_PARAMETER;
        if (*nameEnd != '=' || field[0] != '\0') return NET_URL_BAD_PARAMETER;
        int n = 0;
        for (p = nameEnd + 1; *p != '\0' && *p != '&'; ++p) {
            char c = *p;
            if (c == '%') {
                int high = HexValue(p[1]);
                int low = high < 0 ? -1 : HexValue(p[2]);
                if (low < 0) return NET_URL_BAD_PARAMETER;
                c = static_cast<char>(high * 16 + low);
                if (c == '\0') return NET_URL_BAD_PARAMETER;
                p += 2;
            }
            if (n >= size - 1) return NET_URL_BAD_PARAMETER;
            field[n++] = c;
        }
        if (n == 0) return NET_URL_BAD_PARAMETER;
        field[n] = '\0';
        if (*p == '&') ++p;
    }
    out->parameter[0] = '\0';
    if (out->settings.key[0] != '\0' && out->settings.cert[0] == '\0') {
        std::snprintf(out->parameter, sizeof out->parameter, "key=");
        return NET_URL_KEY_WITHOUT_CERT;
    }
    return NET_URL_OK;
}

}  // namespace

int NetParseUrl(const char* name, NetAddress* out) {
    if (name == nullptr) return NET_URL_NOT_URL;
    int scheme = NET_SCHEME_NONE;
    bool tls = false;
    const char* p = name;
    if (StartsWithNoCase(name, "rfc2217://")) {
        scheme = NET_SCHEME_RFC2217;
        p += 10;
    } else if (StartsWithNoCase(name, "socket://")) {
        scheme = NET_SCHEME_RAW;
        p += 9;
    } else if (StartsWithNoCase(name, "rfc2217+tls://")) {
        scheme = NET_SCHEME_RFC2217;
        tls = true;
        p += 14;
    } else if (StartsWithNoCase(name, "socket+tls://")) {
        scheme = NET_SCHEME_RAW;
        tls = true;
        p += 13;
    } else {
        return NET_URL_NOT_URL;
    }
    out->parameter[0] = '\0';
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
        while (*p != '\0' && *p != ':' && *p != '?') {
            if (!NameChar(*p)) return NET_URL_BAD_HOST;
            ++p;
        }
        hostEnd = p;
        if (hostEnd == hostStart) return NET_URL_NO_HOST;
    }
    if (*p != ':' || p[1] == '\0') return *p == '\0' || *p == ':' || *p == '?' ? NET_URL_NO_PORT : NET_URL_BAD_HOST;
    ++p;
    long port = 0;
    for (; *p != '\0' && *p != '?'; ++p) {
        if (*p < '0' || *p > '9' || port > 65535) return NET_URL_BAD_PORT;
        port = port * 10 + (*p - '0');
    }
    if (port < 1 || port > 65535) return NET_URL_BAD_PORT;
    size_t hostLength = static_cast<size_t>(hostEnd - hostStart);
    if (hostLength >= NET_HOST_BYTES) return NET_URL_BAD_HOST;
    int query = ParseQuery(*p == '?' ? p + 1 : p, tls, out);
    if (query != NET_URL_OK) return query;
    out->scheme = scheme;
    out->tls = tls ? 1 : 0;
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
        case NET_URL_UNKNOWN_PARAMETER: return "unknown parameter (TLS URLs take ca=, cert=, key= and name=)";
        case NET_URL_PLAIN_PARAMETER:
            return "a parameter for TLS only (rfc2217+tls://HOST:PORT?... or socket+tls://HOST:PORT?...)";
        case NET_URL_BAD_PARAMETER: return "a parameter without a value, given twice, too long, or with a bad %-escape";
        case NET_URL_KEY_WITHOUT_CERT: return "key= without cert=: a key is used only with its certificate, give cert= too";
        default: return "";
    }
}

const char* NetUrlProblemText(int result, const NetAddress& refused, char* out, int size) {
    if (size <= 0) return out;
    const char* what = refused.parameter;
    const size_t room = static_cast<size_t>(size);
    if (what[0] == '\0' || result > NET_URL_UNKNOWN_PARAMETER) {
        std::snprintf(out, room, "%s", NetUrlProblem(result));
    } else if (result == NET_URL_UNKNOWN_PARAMETER) {
        std::snprintf(out, room, "unknown parameter %s (TLS URLs take ca=, cert=, key= and name=)", what);
    } else if (result == NET_URL_PLAIN_PARAMETER) {
        std::snprintf(out, room, "%s is for TLS only (rfc2217+tls://HOST:PORT?%s... or socket+tls://)", what, what);
    } else if (result == NET_URL_BAD_PARAMETER) {
        std::snprintf(out, room, "%s has no value, is given twice, is too long, or has a bad %%-escape", what);
    } else {
        std::snprintf(out, static_cast<size_t>(size), "%s", NetUrlProblem(result));
    }
    return out;
}

const char* NetSchemeName(int scheme, int tls) {
    if (scheme == NET_SCHEME_RFC2217) return tls ? "rfc2217+tls" : "rfc2217";
    return tls ? "socket+tls" : "socket";
}
