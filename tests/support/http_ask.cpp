#include "tests/support/http_ask.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

HttpAnswer HttpAsk(int port, const std::string& method, const std::string& path, const std::string& headers,
                   const char* version) {
    HttpAnswer answer;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return answer;
    timeval limit = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string text = method + " " + path + " " + version + "\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
        if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
            char buffer[4096];
            for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.all.append(buffer, n);
        }
    }
    close(fd);
    const size_t split = answer.all.find("\r\n\r\n");
    if (answer.all.compare(0, 9, "HTTP/1.1 ") != 0 || split == std::string::npos) {
        return answer;
    }
    answer.status = std::atoi(answer.all.c_str() + 9);
    answer.headers = answer.all.substr(0, split + 2);
    answer.body = answer.all.substr(split + 4);
    return answer;
}
