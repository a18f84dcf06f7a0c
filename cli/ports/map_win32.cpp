// `map` and `unmap` are Linux's: on Windows the system numbers COM ports itself.
#include "cli/ports/ports.h"

#include <cstdio>

#include "events/exit_status.h"

int RunMap(const DeviceTree&, int, const std::string&, const MapChoices&, std::FILE*, std::FILE* err) {
    std::fprintf(err, "zantrox-cli: map is for Linux only; on Windows a port's COM number is set in\n%s.\n",
                 kRenumberInDeviceManager);
    return EXIT_USAGE;
}

int RunUnmap(const DeviceTree&, int, bool, std::FILE*, std::FILE* err) {
    std::fputs("zantrox-cli: unmap is for Linux only; on Windows a port's COM number is set in Device Manager.\n",
               err);
    return EXIT_USAGE;
}
