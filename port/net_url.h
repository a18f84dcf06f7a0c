// Network port names: `rfc2217://HOST:PORT` (Telnet with serial port control) and
// `socket://HOST:PORT` (the line's bytes over raw TCP), and the same inside TLS:
// `rfc2217+tls://HOST:PORT?ca=FILE&cert=FILE&key=FILE&name=NAME` and
// `socket+tls://...` (every parameter optional). HOST is a name, an IPv4 address
// or an IPv6 address in brackets. Portable; no platform headers.
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
    NET_URL_UNKNOWN_PARAMETER = -5,  // ?what=: not one the URL takes (out->parameter names it)
    NET_URL_PLAIN_PARAMETER = -6,    // ?ca=... on a URL without TLS (out->parameter names it)
    NET_URL_BAD_PARAMETER = -7,      // ?ca= empty, given twice, too long, or a bad %-escape
    NET_URL_KEY_WITHOUT_CERT = -8,   // key= alone: a key is only ours with its certificate
};

enum { NET_HOST_BYTES = 256, NET_FILE_BYTES = 512, NET_PARAMETER_BYTES = 24 };

// What a TLS URL's query says; "" for a parameter not given.
struct NetTlsSettings {
    char ca[NET_FILE_BYTES];    // PEM certificates to trust ("": the system's store)
    char cert[NET_FILE_BYTES];  // our certificate (PEM), when the server asks for one
    char key[NET_FILE_BYTES];   // its private key (PEM); "" with cert: in the cert's file
    char name[NET_HOST_BYTES];  // the name the server's certificate must hold ("": HOST)
};

struct NetAddress {
    int scheme;                 // a NetScheme
    int tls;                    // 1 for rfc2217+tls:// and socket+tls://
    char host[NET_HOST_BYTES];  // without brackets
    int port;                   // 1..65535
    NetTlsSettings settings;    // TLS only
    char parameter[NET_PARAMETER_BYTES];  // the parameter a refusal is about
};

// Splits `name`. Returns a NetUrlResult; `out` is filled on NET_URL_OK, and
// out->parameter on a refusal of a parameter.
int NetParseUrl(const char* name, NetAddress* out);

// What is wrong with a name NetParseUrl refused, in words ("" for the others).
const char* NetUrlProblem(int result);

// The refusal in words with the parameter it is about ("unknown parameter cat=
// (...)"), into `out` (always terminated). Returns `out`.
const char* NetUrlProblemText(int result, const NetAddress& refused, char* out, int size);

// The scheme's name as written in a URL: "rfc2217", "socket+tls", ...
const char* NetSchemeName(int scheme, int tls);
