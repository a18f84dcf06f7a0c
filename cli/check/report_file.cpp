// Where the report goes: a target checked before anything is sent, and a write
// that either replaces the old report whole or leaves it as it was.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "cli/check/report.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// A new, empty file of our own in `folder`: the descriptor, or -1 with errno set.
int CreateUnique(const fs::path& folder, const std::string& stem, fs::path& made) {
    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(random()));
        made = folder / ("." + stem + suffix);
#ifdef _WIN32
        int fd = _wopen(made.wstring().c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
        int fd = open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool WriteAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        size_t chunk = content.size() - done;
        if (chunk > (1u << 20)) chunk = 1u << 20;
#ifdef _WIN32
        int n = _write(fd, content.data() + done, static_cast<unsigned>(chunk));
#else
        ssize_t n = write(fd, content.data() + done, chunk);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SyncAndClose(int fd) {
#ifdef _WIN32
    bool ok = _commit(fd) == 0;
    int saved = errno;
    ok = _close(fd) == 0 && ok;
#else
    bool ok = fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
#endif
    if (!ok && saved != 0) errno = saved;
    return ok;
}

std::string Reason(int error) {
    if (error == ENOSPC) return "the disk is full";
#ifdef EDQUOT
    if (error == EDQUOT) return "the disk quota is used up";
#endif
    if (error == EACCES || error == EPERM) return "the folder may not be written";
    return std::strerror(error);
}

fs::path FolderOf(const fs::path& path) {
    fs::path folder = path.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

bool ReportTargetUsable(const std::string& path, std::string& error) {
    std::error_code ec;
    fs::path target(path);
    fs::file_status status = fs::status(target, ec);
    if (!ec && fs::exists(status)) {
        if (fs::is_directory(status)) {
            error = "is a folder; name a file in it";
            return false;
        }
        if (fs::is_fifo(status)) {
            error = "is a FIFO, not a file";
            return false;
        }
        if (fs::is_character_file(status)) {
            error = "is a terminal or another device, not a file";
            return false;
        }
        if (!fs::is_regular_file(status)) {
            error = "is not a regular file";
            return false;
        }
    }
    fs::path folder = FolderOf(target);
    if (!fs::is_directory(folder, ec)) {
        error = "its folder " + folder.string() + " does not exist";
        return false;
    }
    fs::path probe;
    int fd = CreateUnique(folder, target.filename().string(), probe);
    if (fd < 0) {
        error = "cannot write in " + folder.string() + " (" + Reason(errno) + ")";
        return false;
    }
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
    fs::remove(probe, ec);
    return true;
}

bool WriteReportFile(const std::string& path, const std::string& content, std::string& error) {
    fs::path target(path);
    fs::path temp;
    int fd = CreateUnique(FolderOf(target), target.filename().string(), temp);
    if (fd < 0) {
        error = "cannot create a file beside it (" + Reason(errno) + ")";
        return false;
    }
    bool written = WriteAll(fd, content);
    int writeError = errno;
    bool closed = SyncAndClose(fd);
    if (!written || !closed) {
        error = "writing it failed: " + Reason(written ? errno : writeError) + "; any earlier report there is as it was";
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) {
        error = "putting it in place failed: " + ec.message() + "; any earlier report there is as it was";
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}
