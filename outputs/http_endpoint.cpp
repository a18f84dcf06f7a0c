#include "outputs/http_endpoint.h"

#include <sys/stat.h>

#include <mutex>

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "outputs/basic_auth.h"
#include "outputs/link_metrics.h"

namespace {

// Enough for Prometheus servers scraping side by side; a connection that hangs
// holds one for the read timeout at most.
const int THREADS = 4;

// A client certificate asked for, or required, but not checked against a CA.
int AcceptAnyCertificate(int, X509_STORE_CTX*) { return 1; }

// What a file was when it was last read: a file renewed in place or moved over
// the old one changes at least one of these.
struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{}, ctime{};
    bool operator==(const Stamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

Stamp StampOf(const std::string& path) {
    Stamp stamp;
    struct stat st;
    if (!path.empty() && stat(path.c_str(), &st) == 0) {
        stamp.dev = st.st_dev;
        stamp.ino = st.st_ino;
        stamp.size = st.st_size;
        stamp.mtime = st.st_mtim;
        stamp.ctime = st.st_ctim;
    }
    return stamp;
}

}  // namespace

// The certificate, key and client CAs as the files held them when last read.
// Every handshake looks at the files (a stat each) and reads them again only when
// one changed: OpenSSL 3 takes milliseconds to decode a key, more than the whole
// rest of a handshake.
struct TlsFiles {
    const WebConfig* config = nullptr;
    std::mutex mutex;
    Stamp certStamp, keyStamp, caStamp;
    X509* cert = nullptr;
    STACK_OF(X509)* chain = nullptr;
    EVP_PKEY* key = nullptr;
    X509_STORE* store = nullptr;
    STACK_OF(X509_NAME)* names = nullptr;

    ~TlsFiles() { Clear(); }
    void Clear() {
        X509_free(cert);
        sk_X509_pop_free(chain, X509_free);
        EVP_PKEY_free(key);
        X509_STORE_free(store);
        sk_X509_NAME_pop_free(names, X509_NAME_free);
        cert = nullptr;
        chain = nullptr;
        key = nullptr;
        store = nullptr;
        names = nullptr;
    }

    // Reads the files again when they changed; false when they cannot be read (the
    // next handshake tries again).
    bool Fresh() {
        const Stamp certNow = StampOf(config->certFile), keyNow = StampOf(config->keyFile),
                    caNow = StampOf(config->clientCaFile);
        if (cert != nullptr && certNow == certStamp && keyNow == keyStamp && caNow == caStamp) return true;
        Clear();
        certStamp = keyStamp = caStamp = Stamp();
        BIO* in = BIO_new_file(config->certFile.c_str(), "r");
        if (in != nullptr) {
            cert = PEM_read_bio_X509_AUX(in, nullptr, nullptr, nullptr);
            chain = sk_X509_new_null();
            while (X509* more = PEM_read_bio_X509(in, nullptr, nullptr, nullptr)) sk_X509_push(chain, more);
            BIO_free(in);
        }
        in = BIO_new_file(config->keyFile.c_str(), "r");
        if (in != nullptr) {
            key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
            BIO_free(in);
        }
        if (cert == nullptr || key == nullptr || X509_check_private_key(cert, key) != 1) {
            Clear();
            ERR_clear_error();
            return false;
        }
        if (!config->clientCaFile.empty()) {
            store = X509_STORE_new();
            names = SSL_load_client_CA_file(config->clientCaFile.c_str());
            if (store == nullptr || names == nullptr || X509_STORE_load_file(store, config->clientCaFile.c_str()) != 1) {
                Clear();
                ERR_clear_error();
                return false;
            }
        }
        ERR_clear_error();
        certStamp = certNow;
        keyStamp = keyNow;
        caStamp = caNow;
        return true;
    }
};

namespace {

// At every handshake, before the server's first message: the certificate and key,
// and the client CAs, as their files hold them now. Files that cannot be read
// fail this handshake only.
int LoadAtHandshake(SSL* ssl, void* arg) {
    TlsFiles& files = *static_cast<TlsFiles*>(arg);
    std::lock_guard<std::mutex> lock(files.mutex);
    if (!files.Fresh()) return 0;
    if (SSL_use_cert_and_key(ssl, files.cert, files.key, files.chain, 1) != 1) {
        ERR_clear_error();
        return 0;
    }
    if (files.store != nullptr) {
        SSL_set1_verify_cert_store(ssl, files.store);
        SSL_set_client_CA_list(ssl, SSL_dup_CA_list(files.names));
    }
    return 1;
}

std::string Reason() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = "unknown";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool SetUpTls(TlsFiles& files, SSL_CTX* ctx, std::string& error) {
    const WebConfig& config = *files.config;
    ERR_clear_error();
    if (SSL_CTX_set_min_proto_version(ctx, config.minVersion) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, config.maxVersion) != 1) {
        error = "OpenSSL refuses the TLS versions: " + Reason();
        return false;
    }
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                 (config.preferServerCiphers ? SSL_OP_CIPHER_SERVER_PREFERENCE : 0));
    if (!config.cipherList.empty() && SSL_CTX_set_cipher_list(ctx, config.cipherList.c_str()) != 1) {
        error = "OpenSSL has none of the cipher suites given: " + Reason();
        return false;
    }
    if (!config.groups.empty() && SSL_CTX_set1_groups_list(ctx, config.groups.c_str()) != 1) {
        error = "OpenSSL refuses the curves given: " + Reason();
        return false;
    }
    // No TLS 1.3 session tickets: Prometheus does not resume sessions, and each
    // ticket is work and a write at every handshake.
    SSL_CTX_set_num_tickets(ctx, 0);
    // Sessions resumed under client certificates need a context of their own.
    static const unsigned char context[] = "zantrox-metrics";
    SSL_CTX_set_session_id_context(ctx, context, sizeof context - 1);
    SSL_CTX_set_cert_cb(ctx, LoadAtHandshake, &files);
    if (config.clientCaFile.empty()) SSL_CTX_set_default_verify_paths(ctx);
    switch (config.clientAuth) {
    case ClientAuth::None:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        break;
    case ClientAuth::Request:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, AcceptAnyCertificate);
        break;
    case ClientAuth::RequireAny:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, AcceptAnyCertificate);
        break;
    case ClientAuth::VerifyIfGiven:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        break;
    case ClientAuth::RequireVerify:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        break;
    }
    return true;
}

}  // namespace

WebEndpoint::WebEndpoint(const WebConfig& config, std::function<std::string()> exposition)
    : config_(config), exposition_(std::move(exposition)), auth_(new BasicAuth(config.users)), files_(new TlsFiles()) {
    files_->config = &config_;
}

WebEndpoint::~WebEndpoint() { Stop(); }

long WebEndpoint::BcryptRuns() const { return auth_->BcryptRuns(); }

bool WebEndpoint::Start(const std::string& address, std::string& error) {
    std::string listen;
    if (!MetricsListenPorts(address, listen, error)) return false;
    Stop();
    std::string host = listen.substr(0, listen.rfind(':'));
    const int port = std::stoi(listen.substr(listen.rfind(':') + 1));
    if (host.front() == '[') host = host.substr(1, host.size() - 2);

    if (config_.tls) {
        std::string why;
        server_.reset(new httplib::SSLServer([&](SSL_CTX& ctx) { return SetUpTls(*files_, &ctx, why); }));
        if (!server_->is_valid()) {
            error = "cannot serve TLS: " + why;
            server_.reset();
            return false;
        }
    } else {
        server_.reset(new httplib::Server());
    }
    httplib::Server& server = *server_;
    server.new_task_queue = [] { return new httplib::ThreadPool(THREADS); };
    // One request a connection, as the plain endpoint: httplib waits for a kept
    // connection's next request by polling it every few milliseconds, which cost
    // the tap 1 % of a core for a scrape a second; a handshake a scrape costs a
    // tenth of that.
    server.set_keep_alive_max_count(1);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    server.set_payload_max_length(64 * 1024);
    // An answer goes out in more than one write: without this, the body can wait
    // out the client's delayed ACK (40 ms).
    server.set_tcp_nodelay(true);
    // Every request is answered here, before httplib's own routing (and before a
    // body is read).
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        for (const auto& [name, value] : config_.headers) response.set_header(name, value);
        response.set_header("Cache-Control", "no-store");
        if (auth_->Enabled() && !auth_->Allows(request.get_header_value("Authorization"))) {
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"zantrox\", charset=\"UTF-8\"");
            response.set_content("401 Unauthorized\n", "text/plain; charset=utf-8");
        } else if (request.path != "/" && request.path != "/metrics") {
            response.status = 404;
            response.set_content("not found: see /metrics\n", "text/plain; charset=utf-8");
        } else if (request.method != "GET") {
            // A read-only endpoint: nothing but GET is answered.
            response.status = 405;
            response.set_header("Allow", "GET");
            response.set_content("only GET is answered here\n", "text/plain; charset=utf-8");
        } else if (request.path == "/") {
            response.set_content(MetricsPage(), "text/html; charset=utf-8");
        } else {
            response.set_content(exposition_(), MetricsContentType());
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    port_ = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (port_ <= 0) {
        error = "cannot listen on " + listen + ": " + std::strerror(errno);
        server_.reset();
        port_ = 0;
        return false;
    }
    listener_ = std::thread([&server] { server.listen_after_bind(); });
    return true;
}

void WebEndpoint::Stop() {
    if (server_ == nullptr) return;
    server_->stop();
    if (listener_.joinable()) listener_.join();
    server_.reset();
    port_ = 0;
}
