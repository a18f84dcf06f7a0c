#include "outputs/web_config.h"

#include <crypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <yaml-cpp/yaml.h>

namespace {

// A refusal on its way out of the reading: the key's dotted path and its line.
struct Refusal {
    std::string message;
};

[[noreturn]] void Refuse(const YAML::Node& node, const std::string& key, const std::string& why) {
    std::string at;
    if (node.IsDefined() && node.Mark().line >= 0) at = "line " + std::to_string(node.Mark().line + 1) + ": ";
    throw Refusal{at + key + ": " + why};
}

// The keys of a mapping in the file's order, an unknown or repeated one refused.
// A key left empty (`tls_server_config:`) is an empty mapping, as the exporters read it.
std::vector<std::pair<std::string, YAML::Node>> Entries(const YAML::Node& map, const std::string& where,
                                                        const std::set<std::string>& known) {
    std::vector<std::pair<std::string, YAML::Node>> entries;
    if (map.IsNull()) return entries;
    if (!map.IsMap()) Refuse(map, where, "not a mapping of keys to values");
    std::set<std::string> seen;
    for (const auto& item : map) {
        if (!item.first.IsScalar()) Refuse(item.first, where, "a key that is not a name");
        const std::string key = item.first.Scalar();
        const std::string path = where.empty() ? key : where + "." + key;
        if (!known.empty() && known.count(key) == 0) Refuse(item.first, path, "not a key of this file");
        if (!seen.insert(key).second) Refuse(item.first, path, "given twice");
        entries.emplace_back(key, item.second);
    }
    return entries;
}

std::string Text(const YAML::Node& node, const std::string& key) {
    if (node.IsNull()) return "";
    if (!node.IsScalar()) Refuse(node, key, "not a single value");
    return node.Scalar();
}

bool Flag(const YAML::Node& node, const std::string& key) {
    bool value = false;
    if (!node.IsScalar() || !YAML::convert<bool>::decode(node, value)) Refuse(node, key, "not true or false");
    return value;
}

std::vector<std::string> List(const YAML::Node& node, const std::string& key) {
    std::vector<std::string> items;
    if (node.IsNull()) return items;
    if (!node.IsSequence()) Refuse(node, key, "not a list");
    for (const auto& item : node) items.push_back(Text(item, key));
    return items;
}

int Version(const YAML::Node& node, const std::string& key) {
    static const std::map<std::string, int> versions = {
        {"TLS10", 0x0301}, {"TLS11", 0x0302}, {"TLS12", 0x0303}, {"TLS13", 0x0304}};
    const std::string name = Text(node, key);
    auto found = versions.find(name);
    if (found == versions.end()) Refuse(node, key, "unknown TLS version '" + name + "' (TLS10, TLS11, TLS12 or TLS13)");
    return found->second;
}

ClientAuth AuthType(const YAML::Node& node, const std::string& key) {
    static const std::map<std::string, ClientAuth> types = {
        {"", ClientAuth::None},
        {"NoClientCert", ClientAuth::None},
        {"RequestClientCert", ClientAuth::Request},
        {"RequireAnyClientCert", ClientAuth::RequireAny},
        {"RequireClientCert", ClientAuth::RequireAny},  // the older name
        {"VerifyClientCertIfGiven", ClientAuth::VerifyIfGiven},
        {"RequireAndVerifyClientCert", ClientAuth::RequireVerify}};
    const std::string name = Text(node, key);
    auto found = types.find(name);
    if (found == types.end()) {
        Refuse(node, key,
               "unknown client auth type '" + name +
                   "' (NoClientCert, RequestClientCert, RequireAnyClientCert, VerifyClientCertIfGiven or "
                   "RequireAndVerifyClientCert)");
    }
    return found->second;
}

// The exporters' cipher suite names (Go's) and OpenSSL's for the same suite. The
// TLS 1.3 suites are accepted and, as there, not configurable ("" here).
const std::map<std::string, std::string>& Ciphers() {
    static const std::map<std::string, std::string> ciphers = {
        {"TLS_AES_128_GCM_SHA256", ""},
        {"TLS_AES_256_GCM_SHA384", ""},
        {"TLS_CHACHA20_POLY1305_SHA256", ""},
        {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
        {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
        {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA-AES256-GCM-SHA384"},
        {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA-AES256-GCM-SHA384"},
        {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA-CHACHA20-POLY1305"},
        {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305", "ECDHE-ECDSA-CHACHA20-POLY1305"},
        {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA-CHACHA20-POLY1305"},
        {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305", "ECDHE-RSA-CHACHA20-POLY1305"},
        {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", "ECDHE-ECDSA-AES128-SHA"},
        {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", "ECDHE-RSA-AES128-SHA"},
        {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", "ECDHE-ECDSA-AES256-SHA"},
        {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", "ECDHE-RSA-AES256-SHA"},
        {"TLS_RSA_WITH_AES_128_GCM_SHA256", "AES128-GCM-SHA256"},
        {"TLS_RSA_WITH_AES_256_GCM_SHA384", "AES256-GCM-SHA384"},
        {"TLS_RSA_WITH_AES_128_CBC_SHA", "AES128-SHA"},
        {"TLS_RSA_WITH_AES_256_CBC_SHA", "AES256-SHA"},
        {"TLS_RSA_WITH_AES_128_CBC_SHA256", "AES128-SHA256"},
        {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", "ECDHE-ECDSA-AES128-SHA256"},
        {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", "ECDHE-RSA-AES128-SHA256"},
        {"TLS_RSA_WITH_3DES_EDE_CBC_SHA", "DES-CBC3-SHA"},
        {"TLS_ECDHE_RSA_WITH_3DES_EDE_CBC_SHA", "ECDHE-RSA-DES-CBC3-SHA"}};
    return ciphers;
}

// The headers an exporter lets a file add, and the values allowed where only some are.
const std::map<std::string, std::vector<std::string>>& AllowedHeaders() {
    static const std::map<std::string, std::vector<std::string>> headers = {
        {"Strict-Transport-Security", {}},
        {"X-Content-Type-Options", {"nosniff"}},
        {"X-Frame-Options", {"deny", "sameorigin"}},
        {"X-XSS-Protection", {}},
        {"Content-Security-Policy", {}}};
    return headers;
}

std::string Beside(const std::string& configPath, const std::string& file) {
    if (file.empty() || file[0] == '/') return file;
    size_t slash = configPath.rfind('/');
    return slash == std::string::npos ? file : configPath.substr(0, slash + 1) + file;
}

std::string OpenSslReason() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "not PEM";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

void ReadTls(const YAML::Node& node, const std::string& configPath, WebConfig& config) {
    // Copies of the nodes a later check names (assigning a YAML::Node would
    // change the node it refers to, not which one).
    std::optional<YAML::Node> certNode, keyNode, clientCaNode, minNode;
    for (const auto& [key, value] : Entries(node, "tls_server_config",
                                            {"cert_file", "key_file", "client_auth_type", "client_ca_file",
                                             "cipher_suites", "curve_preferences", "min_version", "max_version",
                                             "prefer_server_cipher_suites"})) {
        const std::string path = "tls_server_config." + key;
        if (key == "cert_file") {
            config.certFile = Beside(configPath, Text(value, path));
            certNode.emplace(value);
        } else if (key == "key_file") {
            config.keyFile = Beside(configPath, Text(value, path));
            keyNode.emplace(value);
        } else if (key == "client_auth_type") {
            config.clientAuth = AuthType(value, path);
        } else if (key == "client_ca_file") {
            config.clientCaFile = Beside(configPath, Text(value, path));
            clientCaNode.emplace(value);
        } else if (key == "min_version") {
            config.minVersion = Version(value, path);
            minNode.emplace(value);
        } else if (key == "max_version") {
            config.maxVersion = Version(value, path);
        } else if (key == "prefer_server_cipher_suites") {
            config.preferServerCiphers = Flag(value, path);
        } else if (key == "cipher_suites") {
            for (const std::string& name : List(value, path)) {
                auto found = Ciphers().find(name);
                if (found == Ciphers().end()) Refuse(value, path, "unknown cipher suite '" + name + "'");
                if (!found->second.empty()) config.cipherList += (config.cipherList.empty() ? "" : ":") + found->second;
            }
        } else if (key == "curve_preferences") {
            static const std::map<std::string, std::string> curves = {
                {"CurveP256", "P-256"}, {"CurveP384", "P-384"}, {"CurveP521", "P-521"}, {"X25519", "X25519"}};
            for (const std::string& name : List(value, path)) {
                auto found = curves.find(name);
                if (found == curves.end()) {
                    Refuse(value, path, "unknown curve '" + name + "' (CurveP256, CurveP384, CurveP521 or X25519)");
                }
                config.groups += (config.groups.empty() ? "" : ":") + found->second;
            }
        }
    }
    // Nothing that asks for TLS: served as plain HTTP, as an exporter does.
    if (config.certFile.empty() && config.keyFile.empty() && config.clientAuth == ClientAuth::None &&
        config.clientCaFile.empty()) {
        return;
    }
    if (config.certFile.empty()) Refuse(node, "tls_server_config.cert_file", "missing (TLS needs a certificate)");
    if (config.keyFile.empty()) Refuse(node, "tls_server_config.key_file", "missing (TLS needs the certificate's key)");
    for (const auto& [file, key, at] : {std::make_tuple(config.certFile, "cert_file", certNode),
                                        std::make_tuple(config.keyFile, "key_file", keyNode)}) {
        std::ifstream readable(file);
        if (!readable) Refuse(*at, std::string("tls_server_config.") + key, "cannot read " + file + ": " + std::strerror(errno));
    }
    std::string why;
    bool keyAtFault = false;
    if (!CheckCertificatePair(config.certFile, config.keyFile, why, keyAtFault)) {
        Refuse(keyAtFault ? *keyNode : *certNode, keyAtFault ? "tls_server_config.key_file" : "tls_server_config.cert_file",
               why);
    }
    if (!config.clientCaFile.empty()) {
        if (config.clientAuth == ClientAuth::None) {
            Refuse(*clientCaNode, "tls_server_config.client_ca_file",
                   "a client CA without a client_auth_type that asks for client certificates");
        }
        std::ifstream in(config.clientCaFile);
        if (!in) Refuse(*clientCaNode, "tls_server_config.client_ca_file", "cannot read " + config.clientCaFile);
    }
    if (config.minVersion > config.maxVersion) {
        Refuse(minNode ? *minNode : node, "tls_server_config.min_version", "above max_version: no TLS version is left to speak");
    }
    config.tls = true;
}

void ReadHttp(const YAML::Node& node, WebConfig& config) {
    for (const auto& [key, value] : Entries(node, "http_server_config", {"http2", "headers"})) {
        const std::string path = "http_server_config." + key;
        if (key == "http2") {
            Flag(value, path);  // answered over HTTP/1.1 either way: a scraper asks for nothing more
        } else {
            for (const auto& [name, text] : Entries(value, path, {})) {
                const std::string where = path + "." + name;
                auto allowed = AllowedHeaders().find(name);
                if (allowed == AllowedHeaders().end()) {
                    Refuse(text, where,
                           "a header that cannot be set here (Strict-Transport-Security, X-Content-Type-Options, "
                           "X-Frame-Options, X-XSS-Protection or Content-Security-Policy)");
                }
                const std::string v = Text(text, where);
                const auto& values = allowed->second;
                bool ok = values.empty();
                for (const std::string& one : values) ok = ok || one == v;
                if (!ok) Refuse(text, where, "'" + v + "' is not a value this header takes");
                if (v.find_first_of("\r\n") != std::string::npos) Refuse(text, where, "a line break in a header");
                config.headers.emplace_back(name, v);
            }
        }
    }
}

void ReadUsers(const YAML::Node& node, WebConfig& config) {
    for (const auto& [name, value] : Entries(node, "basic_auth_users", {})) {
        const std::string where = "basic_auth_users." + name;
        const std::string hash = Text(value, where);
        if (!IsBcryptHash(hash)) {
            Refuse(value, where,
                   "not a bcrypt hash (make one with: htpasswd -nBC 10 " + name + " | cut -d: -f2)");
        }
        if (name.find(':') != std::string::npos) Refuse(value, where, "a user name with ':' cannot log in");
        config.users.emplace_back(name, hash);
    }
}

}  // namespace

bool IsBcryptHash(const std::string& hash) {
    // $2[a-z]$CC$ then 53 characters of salt and hash.
    if (hash.size() < 59 || hash[0] != '$' || hash[1] != '2') return false;
    size_t at = 2;
    if (hash[at] != '$') {
        if (hash[at] < 'a' || hash[at] > 'z') return false;
        ++at;
    }
    if (hash[at] != '$' || hash.size() < at + 4 + 53) return false;
    if (hash[at + 1] < '0' || hash[at + 1] > '9' || hash[at + 2] < '0' || hash[at + 2] > '9' || hash[at + 3] != '$') {
        return false;
    }
    const int cost = (hash[at + 1] - '0') * 10 + (hash[at + 2] - '0');
    if (cost < 4 || cost > 31) return false;
    // What crypt_r makes of it, with the cheapest possible check: the cost is
    // read first, so a hash of cost 31 is not run here (only its form checked).
    if (cost > 12) return true;
    std::unique_ptr<crypt_data> data(new crypt_data());
    const char* out = crypt_r("", hash.c_str(), data.get());
    return out != nullptr && out[0] != '*';
}

bool CheckCertificatePair(const std::string& certFile, const std::string& keyFile, std::string& error) {
    bool keyAtFault = false;
    return CheckCertificatePair(certFile, keyFile, error, keyAtFault);
}

bool CheckCertificatePair(const std::string& certFile, const std::string& keyFile, std::string& error,
                          bool& keyAtFault) {
    keyAtFault = false;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    ERR_clear_error();
    if (ctx == nullptr) {
        error = "OpenSSL cannot start: " + OpenSslReason();
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), certFile.c_str()) != 1) {
        error = "no certificate in " + certFile + " (" + OpenSslReason() + ")";
        return false;
    }
    keyAtFault = true;
    std::FILE* f = std::fopen(keyFile.c_str(), "r");
    if (f == nullptr) {
        error = "cannot read " + keyFile + ": " + std::strerror(errno);
        return false;
    }
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr),
                                                            EVP_PKEY_free);
    std::fclose(f);
    if (key == nullptr) {
        error = "no private key in " + keyFile + " (" + OpenSslReason() + ")";
        return false;
    }
    if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1 || SSL_CTX_check_private_key(ctx.get()) != 1) {
        ERR_clear_error();
        error = "the key in " + keyFile + " is not the certificate's (" + certFile + ")";
        return false;
    }
    return true;
}

bool LoadWebConfig(const std::string& path, WebConfig& config, std::string& error) {
    config = WebConfig();
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    try {
        const YAML::Node root = YAML::Load(in);
        if (root.IsNull()) return true;  // an empty file: plain HTTP, no users
        std::optional<YAML::Node> tls, http, users;
        for (const auto& [key, value] :
             Entries(root, "", {"tls_server_config", "http_server_config", "basic_auth_users"})) {
            if (key == "tls_server_config") tls.emplace(value);
            if (key == "http_server_config") http.emplace(value);
            if (key == "basic_auth_users") users.emplace(value);
        }
        if (tls) ReadTls(*tls, path, config);
        if (http) ReadHttp(*http, config);
        if (users) ReadUsers(*users, config);
    } catch (const Refusal& refusal) {
        error = refusal.message;
        return false;
    } catch (const YAML::Exception& e) {
        error = (e.mark.line >= 0 ? "line " + std::to_string(e.mark.line + 1) + ": " : std::string()) +
                "not YAML: " + e.msg;
        return false;
    }
    return true;
}
