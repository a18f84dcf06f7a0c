#include "outputs/http_endpoint.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "outputs/basic_auth.h"
#include "outputs/link_metrics.h"

namespace {

// Enough for Prometheus servers scraping side by side; a connection that hangs
// holds one for the read timeout at most.
const int THREADS = 4;
// Long enough to keep a connection scraped every second (a handshake saved per
// scrape), short enough that stopping does not wait long on an idle one.
const int KEEP_ALIVE_S = 3;

// A client certificate asked for, or required, but not checked against a CA.
int AcceptAnyCertificate(int, X509_STORE_CTX*) { return 1; }

// At every handshake, before the server's first message: the certificate and key
// from their files, and the client CAs, so that files renewed in place are used
// from the next connection on. A file that cannot be read fails this handshake
// only.
int LoadAtHandshake(SSL* ssl, void* arg) {
    const WebConfig& config = *static_cast<const WebConfig*>(arg);
    if (SSL_use_certificate_chain_file(ssl, config.certFile.c_str()) != 1 ||
        SSL_use_PrivateKey_file(ssl, config.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_check_private_key(ssl) != 1) {
        ERR_clear_error();
        return 0;
    }
    if (!config.clientCaFile.empty()) {
        X509_STORE* store = X509_STORE_new();
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(config.clientCaFile.c_str());
        if (store == nullptr || names == nullptr || X509_STORE_load_file(store, config.clientCaFile.c_str()) != 1) {
            X509_STORE_free(store);
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            ERR_clear_error();
            return 0;
        }
        SSL_set0_verify_cert_store(ssl, store);
        SSL_set_client_CA_list(ssl, names);
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

}  // namespace

bool WebEndpoint::SetUpTls(const WebConfig& config, void* sslCtx, std::string& error) {
    SSL_CTX* ctx = static_cast<SSL_CTX*>(sslCtx);
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
    // Sessions resumed under client certificates need a context of their own.
    static const unsigned char context[] = "zantrox-metrics";
    SSL_CTX_set_session_id_context(ctx, context, sizeof context - 1);
    SSL_CTX_set_cert_cb(ctx, LoadAtHandshake, const_cast<WebConfig*>(&config));
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

WebEndpoint::WebEndpoint(const WebConfig& config, std::function<std::string()> exposition)
    : config_(config), exposition_(std::move(exposition)), auth_(new BasicAuth(config.users)) {}

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
        server_.reset(new httplib::SSLServer([&](SSL_CTX& ctx) { return SetUpTls(config_, &ctx, why); }));
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
    server.set_keep_alive_max_count(1000);
    server.set_keep_alive_timeout(KEEP_ALIVE_S);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    server.set_payload_max_length(64 * 1024);
    // An answer goes out in more than one write: without this, a kept connection
    // waits out the client's delayed ACK (40 ms) before the body.
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
