#include "outputs/junit_output.h"

#include <cstdio>

#include "events/exit_status.h"
#include "outputs/junit.h"

int JunitOutput::Finish(const StreamEnd&) {
    std::string error;
    if (WriteJunitFile(path_, results_, error)) return EXIT_ALL_OK;
    std::fprintf(stderr, "zantrox-cli: the JUnit file %s: %s\n", path_.c_str(), error.c_str());
    return EXIT_FAILED;
}
