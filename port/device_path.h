// The Linux name of COM port k: `<home>/.config/zantrox/comK` when that path
// exists (even as a dangling link, which then fails to open rather than falling
// back to another device), else /dev/ttyS{k-1}.
#pragma once

enum { DEVICE_PATH_BYTES = 512 };

// Writes the path into `out` (`size` bytes). Returns 0, or -1 when k is outside
// 1..9 or the path does not fit. `home` may be nullptr (then only /dev/ttyS is used).
int DevicePathFor(int k, const char* home, char* out, int size);

// The same rule over another device folder than /dev (a test's tree): `dev` in
// place of /dev. Same results.
int DevicePathIn(int k, const char* home, const char* dev, char* out, int size);

// The per-user folder of COM port links: `<home>/.config/zantrox`. Same results.
int DeviceLinkFolder(const char* home, char* out, int size);
