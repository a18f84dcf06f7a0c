// One HTTP request to a server on loopback, for the tests of the metrics endpoints.
#pragma once

#include <string>

struct HttpAnswer {
    int status = 0;       // 0: no connection, or no HTTP/1.1 answer
    std::string all;      // the whole answer as read
    std::string headers;  // the status line and the headers, each ending in CRLF
    std::string body;
};

// METHOD PATH VERSION to 127.0.0.1:`port` with a Host header and `headers` (each
// "Name: value\r\n"), read until the server closes or 5 s pass without a byte.
HttpAnswer HttpAsk(int port, const std::string& method, const std::string& path, const std::string& headers = "",
                   const char* version = "HTTP/1.0");
