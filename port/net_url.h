// Network port names: `rfc2217://HOST:PORT` (Telnet with serial port control) and
// `socket://HOST:PORT` (the line's bytes over raw TCP). HOST is a name, an IPv4
// address or an IPv6 address in brackets. Portable; no platform headers.
#pragma once

enum NetScheme {
    NET_SCHEME_NONE = 0,     // not a network name: a device path or COM name
    NET_SCHEME_RFC2217 = 1,  // rfc2217://
    NET_SCHEME_RAW = 2,      // socket://
};

enum NetUrlResult {
    NET_URL_OK = 0,
    NET_URL_NOT_URL = 1,     // no network scheme: the name is for the serial backends
    NET_URL_NO_HOST = -1,    // rfc2217://:4000
    NET_URL_BAD_HOST = -2,   // characters no host name has, or an unclosed [
    NET_URL_NO_PORT = -3,    // rfc2217://host or rfc2217://host:
    NET_URL_BAD_PORT = -4,   // not a number 1..65535
};

enum { NET_HOST_BYTES = 256 };

struct NetAddress {
    int scheme;                 // a NetScheme
    char host[NET_HOST_BYTES];  // without brackets
    int port;                   // 1..65535
};

// Splits `name`. Returns a NetUrlResult; `out` is filled only on NET_URL_OK.
int NetParseUrl(const char* name, NetAddress* out);

// What is wrong with a name NetParseUrl refused, in words ("" for the others).
const char* NetUrlProblem(int result);
