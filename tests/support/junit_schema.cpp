#include "tests/support/junit_schema.h"

#include <sys/wait.h>

#include <cstdio>

namespace testsupport {

std::string JunitSchemaProblems(const std::string& schemaPath, const std::string& path) {
    std::string command = "xmllint --noout --schema '" + schemaPath + "' '" + path + "' 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "xmllint did not start";
    std::string out;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    int status = pclose(pipe);
    if (status == 0) return "";
    // Missing is a failure, not a skip: a check that quietly stops running proves nothing.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        return "xmllint is missing: tools/install-deps.sh installs libxml2-utils\n" + out;
    }
    return out.empty() ? "xmllint failed and said nothing" : out;
}

}  // namespace testsupport
