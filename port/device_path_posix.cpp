#include "port/device_path.h"

#include <stdio.h>
#include <sys/stat.h>

int DeviceLinkFolder(const char* home, char* out, int size) {
    if (home == nullptr || home[0] == '\0' || size <= 0) return -1;
    int n = snprintf(out, static_cast<size_t>(size), "%s/.config/zantrox", home);
    return n > 0 && n < size ? 0 : -1;
}

int DevicePathFor(int k, const char* home, char* out, int size) { return DevicePathIn(k, home, "/dev", out, size); }

int DevicePathIn(int k, const char* home, const char* dev, char* out, int size) {
    if (k < 1 || k > 9 || size <= 0) return -1;
    char folder[DEVICE_PATH_BYTES];
    if (DeviceLinkFolder(home, folder, sizeof folder) == 0) {
        int n = snprintf(out, static_cast<size_t>(size), "%s/com%d", folder, k);
        struct stat st;
        if (n > 0 && n < size && lstat(out, &st) == 0) return 0;
    }
    int n = snprintf(out, static_cast<size_t>(size), "%s/ttyS%d", dev, k - 1);
    return n > 0 && n < size ? 0 : -1;
}
