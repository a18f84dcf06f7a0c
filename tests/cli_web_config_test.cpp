// --web-config: the files refused, with the key and line named (what promtool
// refuses is matched against promtool itself in the e2e test), basic auth's
// answers and what it remembers, and the endpoint's answers with users over plain
// HTTP on loopback. TLS itself is checked against a real Prometheus server
// (tests/metrics/web_config_e2e.sh).
#include <crypt.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "outputs/basic_auth.h"
#include "outputs/http_endpoint.h"
#include "outputs/web_config.h"
#include "tests/support/http_ask.h"
#include "tests/support/scratch_folder.h"

namespace {

// A bcrypt hash of `password` at cost 4 with the given prefix ("$2a$", "$2b$", "$2y$").
std::string Hash(const std::string& password, const char* prefix = "$2b$") {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    if (crypt_gensalt_rn(prefix, 4, nullptr, 0, setting, sizeof setting) == nullptr) return "";
    return crypt_r(password.c_str(), setting, &data);
}

std::string Base64(const std::string& text) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        unsigned bits = static_cast<unsigned char>(text[i]) << 16;
        if (i + 1 < text.size()) bits |= static_cast<unsigned char>(text[i + 1]) << 8;
        if (i + 2 < text.size()) bits |= static_cast<unsigned char>(text[i + 2]);
        out += digits[bits >> 18];
        out += digits[(bits >> 12) & 63];
        out += i + 1 < text.size() ? digits[(bits >> 6) & 63] : '=';
        out += i + 2 < text.size() ? digits[bits & 63] : '=';
    }
    return out;
}

class WebConfigFiles : public testsupport::ScratchFolder {
protected:
    void SetUp() override {
        ScratchFolder::SetUp();
        const std::string make = "cd " + dir_ +
                                 " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                                 "-keyout key.pem -out cert.pem -days 1 -subj /CN=test >/dev/null 2>&1"
                                 " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                                 "-keyout other.pem -out othercert.pem -days 1 -subj /CN=other >/dev/null 2>&1";
        ASSERT_EQ(std::system(make.c_str()), 0) << "openssl did not make the certificates";
    }
    std::string Write(const std::string& text) {
        WriteText(dir_ + "/web.yml", text);
        return dir_ + "/web.yml";
    }
};

TEST_F(WebConfigFiles, RefusesWhatAnExporterRefusesNamingTheKeyAndLine) {
    const std::string hash = Hash("pw");
    const std::string tls = "tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n";
    struct Case {
        std::string text;
        std::string says;  // "" for a file taken
    } cases[] = {
        {"", ""},
        {tls, ""},
        {tls + "  min_version: TLS13\n  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: cert.pem\n"
               "  cipher_suites: [TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256]\n  curve_preferences: [X25519]\n",
         ""},
        {"basic_auth_users:\n  a: '" + Hash("x", "$2a$") + "'\n  b: '" + Hash("x", "$2y$") + "'\n", ""},
        {"http_server_config:\n  http2: false\n  headers:\n    X-Frame-Options: deny\n", ""},
        {"tls_server_config: {}\n", ""},  // asks for nothing: plain HTTP
        {"tls_config:\n  cert_file: cert.pem\n", "line 1: tls_config: not a key"},
        {tls + "  ca_file: cert.pem\n", "line 4: tls_server_config.ca_file: not a key"},
        {tls + "  min_version: TLS9\n", "line 4: tls_server_config.min_version: unknown TLS version 'TLS9'"},
        {tls + "  client_auth_type: Required\n", "line 4: tls_server_config.client_auth_type: unknown client auth"},
        {tls + "  client_ca_file: cert.pem\n", "tls_server_config.client_ca_file: a client CA without"},
        {tls + "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: none.pem\n",
         "line 5: tls_server_config.client_ca_file: cannot read"},
        {tls + "  curve_preferences: [P256]\n", "tls_server_config.curve_preferences: unknown curve"},
        {"tls_server_config:\n  client_auth_type: RequireAnyClientCert\n", "tls_server_config.cert_file: missing"},
        {"tls_server_config:\n  cert_file: gone.pem\n  key_file: key.pem\n",
         "line 2: tls_server_config.cert_file: cannot read"},
        {"tls_server_config:\n  cert_file: cert.pem\n  key_file: gone.pem\n",
         "line 3: tls_server_config.key_file: cannot read"},
        {"tls_server_config:\n  cert_file: cert.pem\n  key_file: other.pem\n", "line 3: tls_server_config.key_file: the key in"},
        {"tls_server_config:\n  cert_file: key.pem\n  key_file: key.pem\n", "tls_server_config.cert_file: no certificate"},
        {"tls_server_config:\n  cert_file: cert.pem\n  key_file: cert.pem\n", "tls_server_config.key_file: no private key"},
        {tls + "  min_version: TLS13\n  max_version: TLS12\n", "min_version: above max_version"},
        {"basic_auth_users:\n  alice: secret\n", "line 2: basic_auth_users.alice: not a bcrypt hash"},
        {"basic_auth_users:\n  alice: '" + hash + "'\n  alice: '" + hash + "'\n", "line 3: basic_auth_users.alice: given twice"},
        {"http_server_config:\n  headers:\n    X-Foo: bar\n", "line 3: http_server_config.headers.X-Foo: a header that cannot"},
        {"http_server_config:\n  http2: maybe\n", "http_server_config.http2: not true or false"},
        {"tls_server_config: [cert.pem]\n", "line 1: tls_server_config: not a mapping"},
        {"tls_server_config:\n  cert_file: [a\n", "line 3: not YAML"},
    };
    for (const Case& c : cases) {
        WebConfig config;
        std::string error;
        const bool taken = LoadWebConfig(Write(c.text), config, error);
        if (c.says.empty()) {
            EXPECT_TRUE(taken) << c.text << "\nrefused: " << error;
        } else {
            EXPECT_FALSE(taken) << c.text;
            EXPECT_NE(error.find(c.says), std::string::npos) << c.text << "\nsaid: " << error << "\nwanted: " << c.says;
        }
    }
}

TEST_F(WebConfigFiles, FilesAreFoundBesideTheConfigAndTlsTakesEffect) {
    WebConfig config;
    std::string error;
    ASSERT_TRUE(LoadWebConfig(Write("tls_server_config:\n  cert_file: cert.pem\n  key_file: " + dir_ + "/key.pem\n"
                                    "  client_auth_type: RequireAnyClientCert\n  max_version: TLS12\n"),
                              config, error))
        << error;
    EXPECT_TRUE(config.tls);
    EXPECT_EQ(config.certFile, dir_ + "/cert.pem");
    EXPECT_EQ(config.keyFile, dir_ + "/key.pem");
    EXPECT_EQ(config.clientAuth, ClientAuth::RequireAny);
    EXPECT_EQ(config.maxVersion, 0x0303);
}

TEST(BasicAuth, LetsInTheRightPasswordOnlyAndRemembersOnlyWhatWasRight) {
    BasicAuth auth({{"alice", Hash("wonder", "$2a$")}, {"bob", Hash("builder", "$2y$")}, {"carol", Hash("", "$2b$")}});
    struct Case {
        std::string header;
        bool in;
        long runs;  // bcrypt runs it costs
    } cases[] = {
        {"Basic " + Base64("alice:wonder"), true, 1},
        {"Basic " + Base64("alice:wonder"), true, 0},  // remembered
        {"basic   " + Base64("alice:wonder") + " ", true, 0},
        {"Basic " + Base64("bob:builder"), true, 1},
        {"Basic " + Base64("carol:"), true, 1},
        {"Basic " + Base64("alice:wonde"), false, 1},
        {"Basic " + Base64("alice:wonde"), false, 1},  // a wrong password is never remembered
        {"Basic " + Base64("alice:wonder"), true, 0},  // and does not push out the right one
        {"Basic " + Base64("bob:wonder"), false, 1},
        {"Basic " + Base64("mallory:wonder"), false, 1},  // a name that does not exist costs the same
        {"Basic " + Base64("alice:wonder:x"), false, 1},
        {"Basic " + Base64("alicewonder"), false, 0},
        {"", false, 0},
        {"Bearer " + Base64("alice:wonder"), false, 0},
        {"Basic", false, 0},
        {"Basic !!!!", false, 0},
        {"Basic " + Base64("alice:wonder").substr(1), false, 0},
        {"Basic " + Base64("alice:" + std::string(2000, 'w')), false, 0},
    };
    for (const Case& c : cases) {
        const long before = auth.BcryptRuns();
        EXPECT_EQ(auth.Allows(c.header), c.in) << c.header;
        EXPECT_EQ(auth.BcryptRuns() - before, c.runs) << c.header;
    }
    EXPECT_TRUE(BasicAuth({}).Allows(""));
}

// One request to 127.0.0.1:`port` with an Authorization header unless it is "";
// the status and the whole answer.
std::pair<int, std::string> Ask(int port, const std::string& method, const std::string& path,
                                const std::string& authorization) {
    std::string headers = "Connection: close\r\n";
    if (!authorization.empty()) headers += "Authorization: " + authorization + "\r\n";
    HttpAnswer answer = HttpAsk(port, method, path, headers, "HTTP/1.1");
    return {answer.status, answer.all};
}

TEST(WebEndpoint, AsksForAPasswordBeforeAnythingElseThenAnswersAsThePlainEndpoint) {
    WebConfig config;
    config.users = {{"prom", Hash("scrape")}};
    config.headers = {{"X-Content-Type-Options", "nosniff"}};
    WebEndpoint endpoint(config, [] { return std::string("zantrox_build_info{version=\"t\"} 1\n"); });
    std::string error;
    ASSERT_TRUE(endpoint.Start("127.0.0.1:0", error)) << error;
    const int port = endpoint.Port();
    const std::string good = "Basic " + Base64("prom:scrape");
    struct Case {
        std::string method, path, authorization;
        int status;
        std::string has;
    } cases[] = {
        {"GET", "/metrics", "", 401, "WWW-Authenticate: Basic realm="},
        {"GET", "/metrics", "Basic " + Base64("prom:scrap"), 401, "WWW-Authenticate: Basic"},
        {"GET", "/other", "", 401, "X-Content-Type-Options: nosniff"},
        {"POST", "/metrics", "", 401, ""},
        {"GET", "/metrics", "Basic " + std::string(6000, 'A'), 401, ""},
        {"GET", "/metrics", good, 200, "\r\n\r\nzantrox_build_info{version=\"t\"} 1\n"},
        {"GET", "/metrics", good, 200, "Content-Type: text/plain; version=0.0.4; charset=utf-8"},
        {"GET", "/metrics?x=1", good, 200, "X-Content-Type-Options: nosniff"},
        {"GET", "/", good, 200, "<a href=\"/metrics\">"},
        {"GET", "/other", good, 404, ""},
        {"POST", "/metrics", good, 405, "Allow: GET"},
        {"DELETE", "/", good, 405, "Allow: GET"},
    };
    for (const Case& c : cases) {
        auto [status, all] = Ask(endpoint.Port(), c.method, c.path, c.authorization);
        EXPECT_EQ(status, c.status) << c.method << " " << c.path << " " << c.authorization.substr(0, 40);
        EXPECT_NE(all.find(c.has), std::string::npos) << c.method << " " << c.path << ":\n" << all;
    }
    // HEAD is refused as POST is, with no body.
    auto [status, all] = Ask(endpoint.Port(), "HEAD", "/metrics", good);
    EXPECT_EQ(status, 405);
    EXPECT_EQ(all.substr(all.find("\r\n\r\n") + 4), "");
    EXPECT_EQ(endpoint.BcryptRuns(), 2);  // the right password once, the wrong one once
    endpoint.Stop();
    EXPECT_EQ(Ask(port, "GET", "/metrics", good).first, 0);
}

}  // namespace
