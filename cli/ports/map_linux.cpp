// `zantrox-cli map K DEVICE` and `unmap K` (Linux): COM port k named by a link
// under ~/.config/zantrox, made or replaced without a moment where COM k has no
// name, and what the link points at checked and said.
#include "cli/ports/ports.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "events/exit_status.h"
#include "port/device.h"
#include "port/net_url.h"
#include "port/port.h"
#include "port/tls.h"

namespace {

namespace fs = std::filesystem;

// The DEVICE of `map` as a path in the tree: ttyUSB0 and /dev/ttyUSB0 name the
// same node; a relative path is taken from the current folder.
std::string MapDevicePath(const DeviceTree& tree, const std::string& device) {
    if (device.find('/') == std::string::npos) return tree.dev + "/" + device;
    if (device.compare(0, 5, "/dev/") == 0) return tree.dev + device.substr(4);
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

}  // namespace

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
    const bool present = network || stat(target.c_str(), &st) == 0;
    if (!present && !choices.allowMissing) {
        std::fprintf(err,
                     "zantrox-cli: map: %s: no such device\n"
                     "`zantrox-cli ports` lists the devices present; --force links it anyway.\n",
                     target.c_str());
        return EXIT_USAGE;
    }
    std::string stable = network ? "" : StableDeviceName(tree, target);
    std::string mapping = MappingPath(tree, k);
    std::string previous;
    struct stat old;
    bool replacing = lstat(mapping.c_str(), &old) == 0;
    if (replacing && S_ISLNK(old.st_mode)) {
        previous = ReadLink(mapping);
    } else if (replacing && !choices.replace) {
        std::fprintf(err, "zantrox-cli: map: %s is %s, not a link; --replace replaces it\n",
                     ShownPath(tree, mapping).c_str(), NodeKind(old, ""));
        return EXIT_USAGE;
    }
    std::string folder = fs::path(mapping).parent_path().string();
    std::error_code failure;
    fs::create_directories(folder, failure);
    if (failure) {
        std::fprintf(err, "zantrox-cli: map: cannot make %s: %s\n", folder.c_str(), failure.message().c_str());
        return EXIT_FAILED;
    }
    std::string error;
    if (replacing && !S_ISLNK(old.st_mode) && !RemoveNonLink(mapping, error)) {
        std::fprintf(err, "zantrox-cli: map: cannot remove %s: %s\n", ShownPath(tree, mapping).c_str(), error.c_str());
        return EXIT_FAILED;
    }
    // A new link under another name renamed over the old one: COM k is never
    // without a name in between.
    const std::string& linked = stable.empty() ? target : stable;
    std::string fresh;
    if (!MakeFreshLink(linked, mapping, fresh) || rename(fresh.c_str(), mapping.c_str()) != 0) {
        int error = errno;
        if (!fresh.empty()) (void)unlink(fresh.c_str());  // ours: made just now under a name of its own
        std::fprintf(err, "zantrox-cli: map: cannot make %s: %s\n", ShownPath(tree, mapping).c_str(), strerror(error));
        return EXIT_FAILED;
    }
    std::fprintf(out, "COM%d: %s -> %s\n", k, ShownPath(tree, mapping).c_str(), linked.c_str());
    if (!stable.empty()) {
        std::fprintf(out, "Linked the stable name of %s: it stays with this adapter whatever order USB devices come up in.\n",
                     target.c_str());
    }
    if (!previous.empty()) std::fprintf(out, "Replaced the link to %s.\n", previous.c_str());
    if (replacing && !S_ISLNK(old.st_mode)) std::fprintf(out, "Replaced %s.\n", NodeKind(old, ""));
    if (network) {
        int problem = ProbeServer(address);
        if (problem != OPEN_ERROR_NONE) {
            std::fprintf(err, "zantrox-cli: note: the server does not answer now: %s\n", OpenFailureWords(problem));
        }
        return EXIT_ALL_OK;
    }
    if (present && !S_ISCHR(st.st_mode)) {
        std::fprintf(err, "zantrox-cli: warning: %s is %s, not a serial device; COM%d will not open until it is one\n",
                     target.c_str(), NodeKind(st, RealPath(target)), k);
    }
    std::string refusal = AccessRefusal(mapping);
    if (!refusal.empty()) std::fprintf(err, "zantrox-cli: note: COM%d cannot be opened yet: %s\n", k, refusal.c_str());
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
    if (mapping.empty() || lstat(mapping.c_str(), &st) != 0) {
        std::fprintf(out, "COM%d has no link; it opens %s.\n", k, usual.c_str());
        return EXIT_ALL_OK;
    }
    std::string previous;
    std::string error;
    if (S_ISLNK(st.st_mode)) {
        previous = ReadLink(mapping);
        if (unlink(mapping.c_str()) != 0) error = strerror(errno);
    } else if (!force) {
        std::fprintf(err, "zantrox-cli: unmap: %s is %s, not a link; --force removes it\n", ShownPath(tree, mapping).c_str(),
                     NodeKind(st, ""));
        return EXIT_USAGE;
    } else {
        (void)RemoveNonLink(mapping, error);
    }
    if (!error.empty()) {
        std::fprintf(err, "zantrox-cli: unmap: cannot remove %s: %s\n", ShownPath(tree, mapping).c_str(), error.c_str());
        return EXIT_FAILED;
    }
    std::fprintf(out, "COM%d: removed %s%s; it opens %s now.\n", k, ShownPath(tree, mapping).c_str(),
                 previous.empty() ? "" : (" -> " + previous).c_str(), usual.c_str());
    return EXIT_ALL_OK;
}
