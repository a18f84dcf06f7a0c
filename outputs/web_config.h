// --web-config: how the metrics endpoint is protected, read from the YAML file
// Prometheus exporters take with --web.config.file (TLS, extra headers, users with
// bcrypt hashes), so a site's node_exporter file serves here unchanged. The file
// is read once, at start; the certificate, key and client CA files it names are
// read again when they change (see WebEndpoint), so a renewed certificate needs
// no restart.
#pragma once

#include <string>
#include <utility>
#include <vector>

enum class ClientAuth {
    None,           // NoClientCert (or not given)
    Request,        // RequestClientCert: asked for, not checked
    RequireAny,     // RequireAnyClientCert (RequireClientCert): one needed, not checked
    VerifyIfGiven,  // VerifyClientCertIfGiven
    RequireVerify,  // RequireAndVerifyClientCert
};

struct WebConfig {
    bool tls = false;  // a tls_server_config with a certificate
    // Paths as given, relative ones taken from the config file's folder.
    std::string certFile, keyFile, clientCaFile;
    ClientAuth clientAuth = ClientAuth::None;
    int minVersion = 0x0303;  // TLS 1.2, as the exporters' default
    int maxVersion = 0x0304;  // TLS 1.3
    std::string cipherList;   // OpenSSL's names for the TLS 1.2 suites given; "" for OpenSSL's own
    std::string groups;       // OpenSSL's names for curve_preferences; "" for OpenSSL's own
    bool preferServerCiphers = true;
    std::vector<std::pair<std::string, std::string>> headers;  // added to every answer
    std::vector<std::pair<std::string, std::string>> users;    // name, bcrypt hash
};

// Reads and checks `path`. False with the reason in `error` (the key, and its line
// where there is one) when an exporter would refuse the file too: an unknown key,
// a value of the wrong kind, a version or client-auth type it does not know, a
// header it does not allow, a password that is not a bcrypt hash, a certificate or
// key that cannot be read or that do not belong together.
bool LoadWebConfig(const std::string& path, WebConfig& config, std::string& error);

// Whether `hash` is a bcrypt hash ($2a$, $2b$, $2y$, ... with a cost of 4 to 31)
// that crypt_r can check a password against.
bool IsBcryptHash(const std::string& hash);

// Loads the certificate chain and key, checking they belong together. False with
// the reason when they cannot be read or do not match.
bool CheckCertificatePair(const std::string& certFile, const std::string& keyFile, std::string& error);
// The same, saying whether the key (rather than the certificate) is at fault.
bool CheckCertificatePair(const std::string& certFile, const std::string& keyFile, std::string& error,
                          bool& keyAtFault);
