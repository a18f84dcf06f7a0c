// The metrics endpoint as --web-config asks for it: HTTPS (OpenSSL 3, through
// cpp-httplib), basic authentication, extra headers. It answers as the plain
// endpoint does: GET only (405 allowing GET otherwise), the page at /, /metrics,
// 404 elsewhere; 401 asking for basic authentication before any of that when the
// file names users. Its only series are the tap's: the exposition comes from the
// caller.
//
// The certificate, its key and the client CA file are looked at for every TLS
// handshake and read again when they changed: a renewed certificate is served
// from the next connection on.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "outputs/web_config.h"

namespace httplib {
class Server;
}
class BasicAuth;
struct TlsFiles;

class WebEndpoint {
public:
    // `exposition`: the text /metrics serves, called on the endpoint's threads.
    WebEndpoint(const WebConfig& config, std::function<std::string()> exposition);
    ~WebEndpoint();
    WebEndpoint(const WebEndpoint&) = delete;
    WebEndpoint& operator=(const WebEndpoint&) = delete;

    // Serves on `address` as --metrics takes it ("PORT", "IPv4:PORT" or
    // "[IPv6]:PORT"; 127.0.0.1 when no address is given; port 0 takes a free one).
    bool Start(const std::string& address, std::string& error);
    int Port() const { return port_; }
    void Stop();

    // bcrypt runs so far (the others were answered from remembered passwords).
    long BcryptRuns() const;

private:
    WebConfig config_;
    std::function<std::string()> exposition_;
    std::unique_ptr<BasicAuth> auth_;
    std::unique_ptr<TlsFiles> files_;  // the certificate and key, read again when their files change
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
    int port_ = 0;
};
