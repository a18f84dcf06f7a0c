// `ports` (the facts), `map` and `unmap` on Linux, and why a device would not open. COM port
// k is <home>/.config/zantrox/comK when that path exists (a link to nothing
// included), else <dev>/ttyS{k-1}, as the console resolves it. What a device is
// comes from sysfs: <sys>/class/tty/NAME/device is the port's device, its
// `driver` link names the driver, and the USB device above it (the first folder
// up with an idVendor file) has manufacturer, product and serial.
#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "cli/trace_text.h"
#include "cli/ports.h"
#include "os/threading.h"
#include "port/device.h"
#include "port/device_path.h"
#include "port/net.h"
#include "port/net_url.h"
#include "port/tls.h"
#include "port/port.h"

namespace {

namespace fs = std::filesystem;

bool LStat(const std::string& path, struct stat& st) { return lstat(path.c_str(), &st) == 0; }
bool Stat(const std::string& path, struct stat& st) { return stat(path.c_str(), &st) == 0; }

// The text of a link; "" when `path` is not one.
std::string ReadLink(const std::string& path) {
    std::error_code error;
    fs::path target = fs::read_symlink(path, error);
    return error ? "" : target.string();
}

// The path with every link followed; "" when something on the way is missing.
std::string RealPath(const std::string& path) {
    std::error_code error;
    fs::path real = fs::canonical(path, error);
    return error ? "" : real.string();
}

// The first line of a small file, without surrounding blanks; "" when unreadable.
std::string ReadLine(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return "";
    char buffer[256];
    std::string text;
    if (std::fgets(buffer, sizeof buffer, file) != nullptr) text = buffer;
    std::fclose(file);
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string BaseName(const std::string& path) { return fs::path(path).filename().string(); }

std::string Parent(const std::string& path) { return fs::path(path).parent_path().string(); }

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// ttyUSB2 before ttyUSB10: the name's trailing number compares as a number.
bool NaturalLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& name) {
        size_t cut = name.find_last_not_of("0123456789") + 1;
        long number = cut < name.size() ? std::strtol(name.c_str() + cut, nullptr, 10) : -1;
        return std::make_pair(name.substr(0, cut), number);
    };
    return split(a) < split(b);
}

// The names in a folder, naturally sorted.
std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

bool IsUsbSerialName(const std::string& name) {
    return StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM");
}

std::string Shown(const DeviceTree& tree, const std::string& path) { return ShownPath(tree, path); }

std::string MappingPath(const DeviceTree& tree, int k) {
    char folder[DEVICE_PATH_BYTES];
    if (DeviceLinkFolder(tree.home.c_str(), folder, sizeof folder) != 0) return "";
    return std::string(folder) + "/com" + std::to_string(k);
}

// The path COM port k opens, by the console's rule; without HOME, the port's
// usual device.
std::string ComPath(const DeviceTree& tree, int k, bool withLink = true) {
    char path[DEVICE_PATH_BYTES];
    const char* home = withLink && !tree.home.empty() ? tree.home.c_str() : nullptr;
    if (DevicePathIn(k, home, tree.dev.c_str(), path, sizeof path) != 0) return "";
    return path;
}

bool ProcessHasGroup(gid_t gid) {
    if (getegid() == gid) return true;
    int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    count = getgroups(count, groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

bool UserListsGroup(gid_t gid) {
    passwd* user = getpwuid(geteuid());
    if (user == nullptr) return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return false;
    }
    return std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

PermissionFacts FactsFor(const struct stat& st) {
    PermissionFacts facts;
    facts.mode = static_cast<unsigned>(st.st_mode) & 0777;
    passwd* owner = getpwuid(st.st_uid);
    facts.owner = owner != nullptr ? owner->pw_name : std::to_string(st.st_uid);
    group* owners = getgrgid(st.st_gid);
    facts.group = owners != nullptr ? owners->gr_name : std::to_string(st.st_gid);
    facts.groupIsRoot = st.st_gid == 0;
    facts.sessionHasGroup = ProcessHasGroup(st.st_gid);
    facts.userListsGroup = UserListsGroup(st.st_gid);
    return facts;
}

// Whether the device at `path` is there and this user may open it; `why` says
// what is in the way when not.
struct Reachability {
    bool exists = false;
    bool access = false;
    std::string why;
};

Reachability Reach(const std::string& path) {
    Reachability reach;
    struct stat st;
    if (!Stat(path, st)) {
        std::string target = ReadLink(path);
        reach.why = target.empty() ? "no such device"
                                   : "the link points at " + target + ", which is not there "
                                     "(is the adapter unplugged?)";
        return reach;
    }
    reach.exists = true;
    reach.access = access(path.c_str(), R_OK | W_OK) == 0;
    if (!reach.access) reach.why = PermissionAdvice(FactsFor(st));
    return reach;
}

// What sysfs says about tty NAME.
struct TtyFacts {
    int uartType = -1;  // -1 when sysfs has no type file
    std::string maker, product, serial, driver, usbId;
};

const char* UartName(int type) {
    static const char* const names[] = {"unknown", "8250", "16450", "16550", "16550A", "Cirrus", "16650",
                                        "16650V2", "16750", "Startech", "16C950", "16654", "16850", "RSA"};
    return type >= 0 && type < static_cast<int>(sizeof names / sizeof names[0]) ? names[type] : nullptr;
}

TtyFacts ReadTtyFacts(const DeviceTree& tree, const std::string& name) {
    TtyFacts facts;
    std::string base = tree.sys + "/class/tty/" + name;
    std::string type = ReadLine(base + "/type");
    if (!type.empty()) facts.uartType = std::atoi(type.c_str());
    std::string device = RealPath(base + "/device");
    if (device.empty()) return facts;
    std::string sysRoot = RealPath(tree.sys);
    // A ttyS port's device may be the serial core's own "port" (bus serial-base),
    // whose parent's driver is the one that found the UART (serial, 8250, ...).
    for (std::string folder = device; StartsWith(folder, sysRoot + "/"); folder = Parent(folder)) {
        std::string driver = ReadLink(folder + "/driver");
        if (driver.empty() || driver.find("/serial-base/") != std::string::npos) continue;
        facts.driver = BaseName(driver);
        break;
    }
    // The USB device is a few levels up (port, interface, device); stop at the root.
    std::string folder = device;
    for (int level = 0; level < 6 && StartsWith(folder, sysRoot + "/"); ++level, folder = Parent(folder)) {
        std::string vendor = ReadLine(folder + "/idVendor");
        if (vendor.empty()) continue;
        facts.usbId = vendor + ":" + ReadLine(folder + "/idProduct");
        facts.maker = ReadLine(folder + "/manufacturer");
        facts.product = ReadLine(folder + "/product");
        facts.serial = ReadLine(folder + "/serial");
        break;
    }
    return facts;
}

// A ttyS port with a UART: sysfs type 0 (PORT_UNKNOWN) means none was found.
bool HasUart(const TtyFacts& facts) { return facts.uartType > 0; }

bool NoUart(const DeviceTree& tree, const std::string& path) {
    std::string real = RealPath(path);
    std::string name = BaseName(real.empty() ? path : real);
    return StartsWith(name, "ttyS") && ReadTtyFacts(tree, name).uartType == 0;
}

// The /dev/serial/by-id names whose device is `real` (a resolved path).
std::vector<std::string> ByIdNames(const DeviceTree& tree, const std::string& real) {
    std::vector<std::string> names;
    std::string folder = tree.dev + "/serial/by-id";
    for (const std::string& name : ListFolder(folder)) {
        if (!real.empty() && RealPath(folder + "/" + name) == real) names.push_back(folder + "/" + name);
    }
    return names;
}

// The words for what keeps a device from opening, as a PortOpenError.
int ProblemOf(const Reachability& reach) {
    if (!reach.exists) return OPEN_ERROR_NO_DEVICE;
    return reach.access ? OPEN_ERROR_NONE : OPEN_ERROR_PERMISSION;
}

// Whether a device server answers now: a TCP connection within the bound, closed
// at once. Returns a PortOpenError.
int ProbeServer(const NetAddress& address) {
    int error = OPEN_ERROR_NONE;
    NetSocket socket = NetConnect(address.host, address.port, OsMonotonicUs() + SERVER_PROBE_MS * 1000LL, &error);
    if (socket < 0) return error;
    NetClose(socket);
    return OPEN_ERROR_NONE;
}

ComPortFacts ReadCom(const DeviceTree& tree, int k) {
    ComPortFacts com;
    com.k = k;
    com.path = ComPath(tree, k);
    com.target = ReadLink(com.path);
    NetAddress address;
    if (NetParseUrl(com.target.c_str(), &address) == NET_URL_OK) {
        com.network = true;
        com.problem = ProbeServer(address);
        if (com.problem != OPEN_ERROR_NONE) com.why = OpenFailureWords(com.problem);
        return com;
    }
    com.resolved = RealPath(com.path);
    Reachability reach = Reach(com.path);
    com.problem = ProblemOf(reach);
    com.why = reach.why;
    com.noUart = reach.exists && NoUart(tree, com.path);
    if (com.noUart && com.why.empty()) com.why = "no UART behind it (nothing answers there)";
    return com;
}

// Every serial device: USB adapters by /dev and sysfs, the by-id links' devices,
// and ttyS ports with a UART.
std::vector<std::string> DeviceNames(const DeviceTree& tree) {
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    for (const std::string& name : ListFolder(tree.dev)) {
        if (IsUsbSerialName(name)) add(name);
    }
    std::string devRoot = RealPath(tree.dev);
    for (const std::string& name : ListFolder(tree.dev + "/serial/by-id")) {
        std::string real = RealPath(tree.dev + "/serial/by-id/" + name);
        if (!real.empty() && StartsWith(real, devRoot + "/")) add(real.substr(devRoot.size() + 1));
    }
    for (const std::string& name : ListFolder(tree.sys + "/class/tty")) {
        if (IsUsbSerialName(name) || (StartsWith(name, "ttyS") && HasUart(ReadTtyFacts(tree, name)))) add(name);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

const char* KindOf(const struct stat& st, const std::string& real) {
    if (real == "/dev/null") return "/dev/null, which swallows everything";
    if (S_ISREG(st.st_mode)) return "a regular file";
    if (S_ISDIR(st.st_mode)) return "a folder";
    if (S_ISFIFO(st.st_mode)) return "a pipe";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode)) return "a character device that is not a terminal";
    return "not a terminal";
}

// The DEVICE of `map` as a path in the tree: ttyUSB0 and /dev/ttyUSB0 name the
// same node; a relative path is taken from the current folder.
std::string MapDevicePath(const DeviceTree& tree, const std::string& device) {
    if (device.find('/') == std::string::npos) return tree.dev + "/" + device;
    if (StartsWith(device, "/dev/")) return tree.dev + device.substr(4);
    if (device[0] == '/') return device;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + device : device;
}

// A new link to `target` beside `mapping`, under a name no one else uses: symlink
// never overwrites, so a name already taken (by anything) is passed over, never
// removed. Returns false with errno set when none could be made; `fresh` is the
// name made, "" when none.
bool MakeFreshLink(const std::string& target, const std::string& mapping, std::string& fresh) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        int n = std::snprintf(suffix, sizeof suffix, ".%ld.%08x.new", static_cast<long>(getpid()),
                              static_cast<unsigned>(random()));
        if (n < 0 || n >= static_cast<int>(sizeof suffix)) break;
        std::string name = mapping + suffix;
        if (symlink(target.c_str(), name.c_str()) == 0) {
            fresh = name;
            return true;
        }
        if (errno != EEXIST) break;
    }
    fresh.clear();
    return false;
}

// Removes what stands at `path` that is not a link (a file or an empty folder).
bool RemoveNonLink(const std::string& path, std::string& error) {
    std::error_code failure;
    fs::remove(path, failure);
    if (failure) error = failure.message();
    return !failure;
}

// The latency timer of the USB serial adapter that is `device` (a path, links
// followed): sysfs keeps it per tty under bus/usb-serial. -1 when there is none.
int LatencyTimerOf(const DeviceTree& tree, const std::string& device, std::string& file) {
    std::string real = RealPath(device);
    file = tree.sys + "/bus/usb-serial/devices/" + BaseName(real.empty() ? device : real) + "/latency_timer";
    std::string text = ReadLine(file);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 6) return -1;
    return std::atoi(text.c_str());
}

}  // namespace

int AdapterLatencyTimerMs(const DeviceTree& tree, int k, const std::string& deviceName, std::string& file) {
    if (!deviceName.empty()) return LatencyTimerOf(tree, deviceName, file);
    ComPortFacts com = ReadCom(tree, k);
    return LatencyTimerOf(tree, com.resolved.empty() ? com.path : com.resolved, file);
}

PortsFacts GatherPorts(const DeviceTree& tree) {
    PortsFacts facts;
    for (int k = 1; k <= PORT_COUNT; ++k) facts.coms.push_back(ReadCom(tree, k));
    for (const std::string& name : DeviceNames(tree)) {
        DeviceFacts device;
        device.path = tree.dev + "/" + name;
        std::string real = RealPath(device.path);
        device.byId = ByIdNames(tree, real);
        TtyFacts tty = ReadTtyFacts(tree, name);
        device.maker = tty.maker;
        device.product = tty.product;
        device.serial = tty.serial;
        device.driver = tty.driver;
        device.usbId = tty.usbId;
        std::string timerFile;
        device.latencyTimerMs = LatencyTimerOf(tree, real.empty() ? device.path : real, timerFile);
        if (tty.uartType > 0) {
            const char* uart = UartName(tty.uartType);
            device.uart = uart != nullptr ? uart : "type " + std::to_string(tty.uartType);
        }
        for (const ComPortFacts& com : facts.coms) {
            if (!real.empty() && com.resolved == real) device.coms.push_back(com.k);
        }
        Reachability reach = Reach(device.path);
        device.problem = ProblemOf(reach);
        device.why = reach.why;
        facts.devices.push_back(device);
    }
    return facts;
}

int RunMap(const DeviceTree& tree, int k, const std::string& device, const MapChoices& choices, std::FILE* out,
           std::FILE* err) {
    if (k < 1 || k > PORT_COUNT) {
        std::fprintf(err, "zantrox-cli: map: COM port %d: the number must be 1..9\n", k);
        return EXIT_USAGE;
    }
    if (tree.home.empty()) {
        std::fputs("zantrox-cli: map: HOME is not set, so there is no ~/.config/zantrox\n", err);
        return EXIT_USAGE;
    }
    if (device.empty()) {
        std::fputs("zantrox-cli: map: no DEVICE given\n", err);
        return EXIT_USAGE;
    }
    // A device server: the link's target text is its URL.
    NetAddress address;
    int url = NetParseUrl(device.c_str(), &address);
    if (url < 0) {
        char problem[NET_NOTE_BYTES];
        std::fprintf(err, "zantrox-cli: map: %s: %s\n", device.c_str(), NetUrlProblemText(url, address, problem, sizeof problem));
        return EXIT_USAGE;
    }
    char tlsProblem[TLS_PROBLEM_BYTES];
    if (url == NET_URL_OK && address.tls && TlsCheckFiles(address, tlsProblem, sizeof tlsProblem) != 0) {
        std::fprintf(err, "zantrox-cli: map: %s: %s\n", device.c_str(), tlsProblem);
        return EXIT_USAGE;
    }
    const bool network = url == NET_URL_OK;
    std::string target = network ? device : MapDevicePath(tree, device);
    struct stat st = {};
    const bool present = network || Stat(target, st);
    if (!present && !choices.allowMissing) {
        std::fprintf(err,
                     "zantrox-cli: map: %s: no such device\n"
                     "`zantrox-cli ports` lists the devices present; --force links it anyway.\n",
                     target.c_str());
        return EXIT_USAGE;
    }
    std::string stable;
    if (!network && IsUsbSerialName(BaseName(target))) {
        std::vector<std::string> names = ByIdNames(tree, RealPath(target));
        if (!names.empty()) stable = names.front();
    }
    std::string mapping = MappingPath(tree, k);
    std::string previous;
    struct stat old;
    bool replacing = LStat(mapping, old);
    if (replacing && S_ISLNK(old.st_mode)) {
        previous = ReadLink(mapping);
    } else if (replacing && !choices.replace) {
        std::fprintf(err, "zantrox-cli: map: %s is %s, not a link; --replace replaces it\n",
                     Shown(tree, mapping).c_str(), KindOf(old, ""));
        return EXIT_USAGE;
    }
    std::string folder = Parent(mapping);
    std::error_code failure;
    fs::create_directories(folder, failure);
    if (failure) {
        std::fprintf(err, "zantrox-cli: map: cannot make %s: %s\n", folder.c_str(), failure.message().c_str());
        return EXIT_FAILED;
    }
    std::string error;
    if (replacing && !S_ISLNK(old.st_mode) && !RemoveNonLink(mapping, error)) {
        std::fprintf(err, "zantrox-cli: map: cannot remove %s: %s\n", Shown(tree, mapping).c_str(), error.c_str());
        return EXIT_FAILED;
    }
    // A new link under another name renamed over the old one: COM k is never
    // without a name in between.
    const std::string& linked = stable.empty() ? target : stable;
    std::string fresh;
    if (!MakeFreshLink(linked, mapping, fresh) || rename(fresh.c_str(), mapping.c_str()) != 0) {
        int error = errno;
        if (!fresh.empty()) (void)unlink(fresh.c_str());  // ours: made just now under a name of its own
        std::fprintf(err, "zantrox-cli: map: cannot make %s: %s\n", Shown(tree, mapping).c_str(), strerror(error));
        return EXIT_FAILED;
    }
    std::fprintf(out, "COM%d: %s -> %s\n", k, Shown(tree, mapping).c_str(), linked.c_str());
    if (!stable.empty()) {
        std::fprintf(out, "Linked the stable name of %s: it stays with this adapter whatever order USB devices come up in.\n",
                     target.c_str());
    }
    if (!previous.empty()) std::fprintf(out, "Replaced the link to %s.\n", previous.c_str());
    if (replacing && !S_ISLNK(old.st_mode)) std::fprintf(out, "Replaced %s.\n", KindOf(old, ""));
    if (network) {
        int problem = ProbeServer(address);
        if (problem != OPEN_ERROR_NONE) {
            std::fprintf(err, "zantrox-cli: note: the server does not answer now: %s\n", OpenFailureWords(problem));
        }
        return EXIT_ALL_OK;
    }
    if (present && !S_ISCHR(st.st_mode)) {
        std::fprintf(err, "zantrox-cli: warning: %s is %s, not a serial device; COM%d will not open until it is one\n",
                     target.c_str(), KindOf(st, RealPath(target)), k);
    }
    Reachability reach = Reach(mapping);
    if (reach.exists && !reach.access) std::fprintf(err, "zantrox-cli: note: COM%d cannot be opened yet: %s\n", k, reach.why.c_str());
    return EXIT_ALL_OK;
}

int RunUnmap(const DeviceTree& tree, int k, bool force, std::FILE* out, std::FILE* err) {
    if (k < 1 || k > PORT_COUNT) {
        std::fprintf(err, "zantrox-cli: unmap: COM port %d: the number must be 1..9\n", k);
        return EXIT_USAGE;
    }
    std::string usual = ComPath(tree, k, false);
    std::string mapping = tree.home.empty() ? "" : MappingPath(tree, k);
    struct stat st;
    if (mapping.empty() || !LStat(mapping, st)) {
        std::fprintf(out, "COM%d has no link; it opens %s.\n", k, usual.c_str());
        return EXIT_ALL_OK;
    }
    std::string previous;
    std::string error;
    if (S_ISLNK(st.st_mode)) {
        previous = ReadLink(mapping);
        if (unlink(mapping.c_str()) != 0) error = strerror(errno);
    } else if (!force) {
        std::fprintf(err, "zantrox-cli: unmap: %s is %s, not a link; --force removes it\n", Shown(tree, mapping).c_str(),
                     KindOf(st, ""));
        return EXIT_USAGE;
    } else {
        (void)RemoveNonLink(mapping, error);
    }
    if (!error.empty()) {
        std::fprintf(err, "zantrox-cli: unmap: cannot remove %s: %s\n", Shown(tree, mapping).c_str(), error.c_str());
        return EXIT_FAILED;
    }
    std::fprintf(out, "COM%d: removed %s%s; it opens %s now.\n", k, Shown(tree, mapping).c_str(),
                 previous.empty() ? "" : (" -> " + previous).c_str(), usual.c_str());
    return EXIT_ALL_OK;
}

namespace {

// The programs holding `device` open, as "minicom, pid 4242", from the fd links
// under <proc> that this user may read.
std::vector<std::string> Holders(const DeviceTree& tree, const std::string& device) {
    std::vector<std::string> holders;
    std::string real = RealPath(device);
    if (real.empty()) return holders;
    const std::string self = tree.proc == "/proc" ? std::to_string(getpid()) : "";
    for (const std::string& pid : ListFolder(tree.proc)) {
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        std::string fds = tree.proc + "/" + pid + "/fd";
        for (const std::string& fd : ListFolder(fds)) {
            if (ReadLink(fds + "/" + fd) != real) continue;
            std::string program = ReadLine(tree.proc + "/" + pid + "/comm");
            holders.push_back((program.empty() ? "a program" : program) + ", pid " + pid);
            break;
        }
    }
    return holders;
}

}  // namespace

std::string ExplainOpenFailure(int reason, const std::string& device, const DeviceTree& tree) {
    if (IsNetworkOpenError(reason)) return ExplainNetworkOpenFailure(reason, NetOpenNote());
    const std::string head = OpenFailureWords(reason);
    const char* const listHint = "`zantrox-cli ports` lists the serial devices present.";
    struct stat st;
    switch (reason) {
        case OPEN_ERROR_NO_DEVICE: {
            std::string target = ReadLink(device);
            if (!target.empty() && !Stat(device, st)) {
                return head + ": the link points at " + target + ", which is not there (is the adapter unplugged?).\n" +
                       "Plug it in, or see the devices present with `zantrox-cli ports` and point the link at one "
                       "with `zantrox-cli map K DEVICE`.";
            }
            if (NoUart(tree, device)) return head + ": the system found no UART at this port.\n" + listHint;
            return head + ".\n" + listHint;
        }
        case OPEN_ERROR_PERMISSION:
            if (Stat(device, st)) return head + ": " + PermissionAdvice(FactsFor(st)) + ".";
            return head + ".";
        case OPEN_ERROR_BUSY: {
            std::vector<std::string> holders = Holders(tree, device);
            if (holders.empty()) {
                return head + ".\nClose the program using it (another console, a terminal program), then try again.";
            }
            std::string names;
            for (const std::string& holder : holders) names += (names.empty() ? "" : "; ") + holder;
            return "busy (held by " + names + ").\nClose it, then try again.";
        }
        case OPEN_ERROR_NOT_SERIAL:
            if (Stat(device, st)) {
                return head + " (it is " + KindOf(st, RealPath(device)) + ").\n" +
                       "Give a serial device such as /dev/ttyUSB0; " + listHint;
            }
            return head + ".\n" + listHint;
        default:
            return head + ".";
    }
}
