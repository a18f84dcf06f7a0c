// TLS URLs as the console reads them, and the checks of their files before
// anything is connected: what is taken, what is refused and how it is named.
// The certificates are made for the run by tests/net/make_tls_certs.sh.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "port/net_url.h"
#include "port/tls.h"

namespace {

TEST(TlsUrl, TakesBothFormsWithTheirParameters) {
    struct Case {
        const char* text;
        int scheme;
        const char* host;
        int port;
        const char* ca;
        const char* cert;
        const char* key;
        const char* name;
    } cases[] = {
        {"rfc2217+tls://127.0.0.1:4001", NET_SCHEME_RFC2217, "127.0.0.1", 4001, "", "", "", ""},
        {"Socket+TLS://[::1]:7000?ca=/etc/site/ca.pem", NET_SCHEME_RAW, "::1", 7000, "/etc/site/ca.pem", "", "", ""},
        {"rfc2217+tls://10.1.2.3:4001?name=box.site&key=k.pem&cert=c.pem&ca=a.pem", NET_SCHEME_RFC2217, "10.1.2.3",
         4001, "a.pem", "c.pem", "k.pem", "box.site"},
        // A path with a space or an & is written with %-escapes.
        {"socket+tls://box:1?ca=/My%20Certs/a%26b.pem", NET_SCHEME_RAW, "box", 1, "/My Certs/a&b.pem", "", "", ""},
        // A certificate file that holds its key too.
        {"rfc2217+tls://box:2?cert=both.pem", NET_SCHEME_RFC2217, "box", 2, "", "both.pem", "", ""},
    };
    for (const Case& c : cases) {
        NetAddress a;
        ASSERT_EQ(NetParseUrl(c.text, &a), NET_URL_OK) << c.text;
        EXPECT_EQ(a.tls, 1) << c.text;
        EXPECT_EQ(a.scheme, c.scheme) << c.text;
        EXPECT_STREQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
        EXPECT_STREQ(a.settings.ca, c.ca) << c.text;
        EXPECT_STREQ(a.settings.cert, c.cert) << c.text;
        EXPECT_STREQ(a.settings.key, c.key) << c.text;
        EXPECT_STREQ(a.settings.name, c.name) << c.text;
    }
    NetAddress plain;
    ASSERT_EQ(NetParseUrl("rfc2217://box:4001", &plain), NET_URL_OK);
    EXPECT_EQ(plain.tls, 0);
}

TEST(TlsUrl, RefusesParametersByName) {
    const std::string longPath(NET_FILE_BYTES, 'a');
    const std::string tooLong = "rfc2217+tls://box:1?ca=" + longPath;
    struct Case {
        const char* text;
        int result;
        const char* said;  // in NetUrlProblemText
    } cases[] = {
        {"rfc2217+tls://box:1?verify=none", NET_URL_UNKNOWN_PARAMETER, "unknown parameter verify="},
        {"socket+tls://box:1?ca=a.pem&insecure", NET_URL_UNKNOWN_PARAMETER, "unknown parameter insecure="},
        {"rfc2217://box:1?ca=a.pem", NET_URL_PLAIN_PARAMETER, "ca= is for TLS only"},
        {"socket://box:1?name=x", NET_URL_PLAIN_PARAMETER, "name= is for TLS only"},
        {"socket://box:1?bogus=1", NET_URL_UNKNOWN_PARAMETER, "unknown parameter bogus="},
        {"rfc2217+tls://box:1?ca=", NET_URL_BAD_PARAMETER, "ca= has no value"},
        {"rfc2217+tls://box:1?ca", NET_URL_BAD_PARAMETER, "ca= has no value"},
        {"rfc2217+tls://box:1?ca=a&ca=b", NET_URL_BAD_PARAMETER, "given twice"},
        {"rfc2217+tls://box:1?ca=a%2", NET_URL_BAD_PARAMETER, "bad %-escape"},
        {"rfc2217+tls://box:1?ca=a%00b", NET_URL_BAD_PARAMETER, "bad %-escape"},
        {tooLong.c_str(), NET_URL_BAD_PARAMETER, "too long"},
        {"rfc2217+tls://box:1?key=k.pem", NET_URL_KEY_WITHOUT_CERT, "key= without cert="},
        {"rfc2217+tls://box?ca=a.pem", NET_URL_NO_PORT, "no TCP port"},
        {"socket+tls://box:?ca=a.pem", NET_URL_BAD_PORT, "1..65535"},
    };
    for (const Case& c : cases) {
        NetAddress a;
        EXPECT_EQ(NetParseUrl(c.text, &a), c.result) << c.text;
        char text[NET_FILE_BYTES];
        EXPECT_NE(std::string(NetUrlProblemText(c.result, a, text, sizeof text)).find(c.said), std::string::npos)
            << c.text << ": " << text;
    }
}

class TlsFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char folder[] = "/tmp/zantrox-tls-files.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir = folder;
        std::string make = "bash '" ZANTROX_SOURCE_DIR "/tests/net/make_tls_certs.sh' '" + dir + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(make.c_str()), 0) << "openssl could not make the certificates";
        // A key under a passphrase, and a certificate with its key in one file.
        std::string more = "cd '" + dir + "' && openssl pkey -in client.key -aes256 -passout pass:secret -out locked.key"
                           " && cat client.crt client.key > both.pem";
        ASSERT_EQ(std::system(more.c_str()), 0);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    static std::string dir;
};

std::string TlsFiles::dir;

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(TlsFiles, NamesTheFileAndNeverWhatAKeyHolds) {
    struct Case {
        std::string query;
        const char* said;  // "" when the files are taken
    } cases[] = {
        {"ca=D/ca.crt&cert=D/client.crt&key=D/client.key", ""},
        {"cert=D/both.pem", ""},
        {"", ""},  // the system's store
        {"ca=D/none.crt", "ca=D/none.crt: cannot be read (No such file or directory)"},
        {"ca=D/client.key", "ca=D/client.key: holds no certificate"},
        {"cert=D/client.crt&key=D/none.key", "key=D/none.key: cannot be read"},
        {"cert=D/client.key&key=D/client.key", "cert=D/client.key: holds no certificate"},
        {"cert=D/client.crt&key=D/stranger.key", "key=D/stranger.key: is not the key of the certificate in cert=D/client.crt"},
        {"cert=D/client.crt&key=D/locked.key", "key=D/locked.key: holds no private key in PEM that can be used without a passphrase"},
        {"cert=D/client.crt", "cert= (no key= given, so the key is looked for there) D/client.crt"},
    };
    const std::string keyText = Slurp(dir + "/client.key");
    const std::string keyLine = keyText.substr(keyText.find('\n') + 1, 20);
    for (Case& c : cases) {
        std::string query = c.query;
        for (size_t at = query.find("D/"); at != std::string::npos; at = query.find("D/", at)) {
            query.replace(at, 1, dir);
            at += dir.size();
        }
        std::string said = c.said;
        for (size_t at = said.find("D/"); at != std::string::npos; at = said.find("D/", at)) {
            said.replace(at, 1, dir);
            at += dir.size();
        }
        std::string url = "rfc2217+tls://127.0.0.1:1" + (query.empty() ? "" : "?" + query);
        NetAddress a;
        ASSERT_EQ(NetParseUrl(url.c_str(), &a), NET_URL_OK) << url;
        char problem[TLS_PROBLEM_BYTES];
        int result = TlsCheckFiles(a, problem, sizeof problem);
        if (said.empty()) {
            EXPECT_EQ(result, 0) << url << ": " << problem;
        } else {
            EXPECT_EQ(result, -1) << url;
            EXPECT_NE(std::string(problem).find(said), std::string::npos) << url << ": " << problem;
        }
        EXPECT_EQ(std::string(problem).find(keyLine), std::string::npos) << url;
        EXPECT_EQ(std::string(problem).find("PRIVATE KEY"), std::string::npos) << url;
    }
}

}  // namespace
