#include "outputs/web_config_option.h"

#include <cstdio>

#include "events/exit_status.h"

int RefuseWebConfigOption(const std::string& value) {
    std::fprintf(stderr,
                 "zantrox-cli: --web-config %s: TLS and passwords for the metrics endpoint are a Linux feature; "
                 "this Windows build has no metrics endpoint (run the tap on a Linux machine, or leave "
                 "--metrics and --web-config out)\n",
                 value.c_str());
    return EXIT_USAGE;
}
