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

#include "port/device_facts.h"
#include "os/threading.h"
#include "port/device.h"
#include "port/device_path.h"
#include "port/net.h"
#include "port/net_url.h"
#include "port/port.h"

namespace {

namespace fs = std::filesystem;

bool Stat(const std::string& path, struct stat& st) { return stat(path.c_str(), &st) == 0; }

}  // namespace

std::string ReadLink(const std::string& path) {
    std::error_code error;
    fs::path target = fs::read_symlink(path, error);
    return error ? "" : target.string();
}

std::string RealPath(const std::string& path) {
    std::error_code error;
    fs::path real = fs::canonical(path, error);
    return error ? "" : real.string();
}

namespace {


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


}  // namespace

std::string MappingPath(const DeviceTree& tree, int k) {
    char folder[DEVICE_PATH_BYTES];
    if (DeviceLinkFolder(tree.home.c_str(), folder, sizeof folder) != 0) return "";
    return std::string(folder) + "/com" + std::to_string(k);
}

std::string ComPath(const DeviceTree& tree, int k, bool withLink) {
    char path[DEVICE_PATH_BYTES];
    const char* home = withLink && !tree.home.empty() ? tree.home.c_str() : nullptr;
    if (DevicePathIn(k, home, tree.dev.c_str(), path, sizeof path) != 0) return "";
    return path;
}

namespace {

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

}  // namespace

int ProbeServer(const NetAddress& address) {
    int error = OPEN_ERROR_NONE;
    NetSocket socket = NetConnect(address.host, address.port, OsMonotonicUs() + SERVER_PROBE_MS * 1000LL, &error);
    if (socket < 0) return error;
    NetClose(socket);
    return OPEN_ERROR_NONE;
}

namespace {

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


}  // namespace

const char* NodeKind(const struct stat& st, const std::string& real) {
    if (real == "/dev/null") return "/dev/null, which swallows everything";
    if (S_ISREG(st.st_mode)) return "a regular file";
    if (S_ISDIR(st.st_mode)) return "a folder";
    if (S_ISFIFO(st.st_mode)) return "a pipe";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode)) return "a character device that is not a terminal";
    return "not a terminal";
}

namespace {

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

std::string StableDeviceName(const DeviceTree& tree, const std::string& path) {
    if (!IsUsbSerialName(BaseName(path))) return "";
    std::vector<std::string> names = ByIdNames(tree, RealPath(path));
    return names.empty() ? "" : names.front();
}

std::string AccessRefusal(const std::string& path) {
    Reachability reach = Reach(path);
    return reach.exists && !reach.access ? reach.why : "";
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
                return head + " (it is " + NodeKind(st, RealPath(device)) + ").\n" +
                       "Give a serial device such as /dev/ttyUSB0; " + listHint;
            }
            return head + ".\n" + listHint;
        default:
            return head + ".";
    }
}
