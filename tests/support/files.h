// Test support: whole files in and out.
#pragma once

#include <string>

namespace testsupport {

// The file's bytes, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace testsupport
