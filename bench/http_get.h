// Benchmark support: one GET on loopback as a scraper makes it (connect, ask, read
// to the end), the whole answer, headers included; "" when nothing came.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace benchsupport {

inline std::string GetFromLoopback(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "";
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(static_cast<uint16_t>(port));
    std::string all;
    if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
        const std::string ask = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (write(fd, ask.data(), ask.size()) == static_cast<ssize_t>(ask.size())) {
            char buffer[65536];
            ssize_t got;
            while ((got = read(fd, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    return all;
}

}  // namespace benchsupport
