#include "outputs/metrics_option.h"

#include <cstdio>

#include "events/exit_status.h"

int RefuseMetricsOption(const std::string& value) {
    std::fprintf(stderr,
                 "zantrox-cli: --metrics %s: serving Prometheus metrics is a Linux feature; this Windows build "
                 "has no metrics endpoint (run the tap on a Linux machine, or leave --metrics out)\n",
                 value.c_str());
    return EXIT_USAGE;
}
