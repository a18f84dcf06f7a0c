#include "os/replacing_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

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

int CloseDescriptor(int fd) {
#ifdef _WIN32
    return _close(fd);
#else
    return close(fd);
#endif
}

bool SyncAndClose(int fd) {
#ifdef _WIN32
    bool ok = _commit(fd) == 0;
#else
    bool ok = fsync(fd) == 0;
#endif
    int saved = errno;
    ok = CloseDescriptor(fd) == 0 && ok;
    if (!ok && saved != 0) errno = saved;
    return ok;
}

fs::path FolderOf(const fs::path& path) {
    fs::path folder = path.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

bool WriteAllToDescriptor(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        size_t chunk = size - done;
        if (chunk > (1u << 20)) chunk = 1u << 20;
#ifdef _WIN32
        int n = _write(fd, bytes + done, static_cast<unsigned>(chunk));
#else
        ssize_t n = write(fd, bytes + done, chunk);
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

std::string FileErrorReason(int error) {
    if (error == ENOSPC) return "the disk is full";
#ifdef EDQUOT
    if (error == EDQUOT) return "the disk quota is used up";
#endif
    if (error == EFBIG) return "the file grew past the size allowed";
    if (error == EACCES || error == EPERM) return "the folder may not be written";
    return std::strerror(error);
}

ReplacingFile::~ReplacingFile() { Abandon(); }

bool ReplacingFile::Create(const std::string& path, std::string& error) {
    Abandon();
    target_ = fs::path(path);
    fd_ = CreateUnique(FolderOf(target_), target_.filename().string(), temp_);
    if (fd_ < 0) {
        error = FileErrorReason(errno);
        temp_.clear();
        return false;
    }
    return true;
}

bool ReplacingFile::Write(const void* data, size_t size, std::string& error) {
    if (fd_ < 0) {
        error = "the file is not open";
        return false;
    }
    if (WriteAllToDescriptor(fd_, data, size)) return true;
    error = FileErrorReason(errno);
    return false;
}

bool ReplacingFile::Truncate(unsigned long long size, std::string& error) {
    if (fd_ < 0) {
        error = "the file is not open";
        return false;
    }
#ifdef _WIN32
    bool ok = _chsize_s(fd_, static_cast<__int64>(size)) == 0;
#else
    bool ok = ftruncate(fd_, static_cast<off_t>(size)) == 0;
#endif
    if (!ok) error = FileErrorReason(errno);
    return ok;
}

bool ReplacingFile::Commit(std::string& error) {
    if (fd_ < 0) {
        error = "the file is not open";
        return false;
    }
    bool closed = SyncAndClose(fd_);
    fd_ = -1;
    if (!closed) {
        error = "writing it failed: " + FileErrorReason(errno);
        Abandon();
        return false;
    }
    std::error_code ec;
    fs::rename(temp_, target_, ec);
    if (ec) {
        error = "putting it in place failed: " + ec.message();
        Abandon();
        return false;
    }
    temp_.clear();
    return true;
}

void ReplacingFile::Abandon() {
    if (fd_ >= 0) CloseDescriptor(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
        std::error_code ignored;
        fs::remove(temp_, ignored);
        temp_.clear();
    }
}

bool FileTargetUsable(const std::string& path, std::string& error) {
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
        error = "cannot write in " + folder.string() + " (" + FileErrorReason(errno) + ")";
        return false;
    }
    CloseDescriptor(fd);
    fs::remove(probe, ec);
    return true;
}
