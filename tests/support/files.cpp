#include "tests/support/files.h"

#include <cstdio>

namespace testsupport {

std::string ReadWholeFile(const std::string& path) {
    std::string content;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return content;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
    std::fclose(f);
    return content;
}

}  // namespace testsupport
