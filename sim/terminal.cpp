#include "sim/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char PTS_PREFIX[] = "/dev/pts/";

int Reason(char* error, int errorSize, const char* what, const char* path, int code) {
    int n = snprintf(error, static_cast<size_t>(errorSize), "%s %s: %s", what, path, strerror(code));
    if (n < 0 && errorSize > 0) error[0] = '\0';
    return -1;
}

void CloseKeepingErrno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

int MakeFolder(const char* path, char* error, int errorSize) {
    if (mkdir(path, 0700) == 0 || errno == EEXIST) return 0;
    return Reason(error, errorSize, "cannot create", path, errno);
}

}  // namespace

int SetRaw(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) return -1;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : -1;
}

int SetSpeed(int fd, speed_t speed) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) return -1;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return -1;
    return tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : -1;
}

int OpenTerminal(int& master, int& slave, char* name, int nameSize, char* error, int errorSize) {
    master = -1;
    slave = -1;
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) return Reason(error, errorSize, "cannot open", "a pseudo-terminal", errno);
    int flags = fcntl(m, F_GETFL);
    int ok = flags >= 0 && fcntl(m, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(m, F_SETFD, FD_CLOEXEC) == 0 &&
             grantpt(m) == 0 && unlockpt(m) == 0 && ptsname_r(m, name, static_cast<size_t>(nameSize)) == 0;
    if (!ok) {
        int code = errno;
        close(m);
        return Reason(error, errorSize, "cannot set up", "the pseudo-terminal", code);
    }
    // Held for the whole run: while one descriptor of the slave stays open the
    // master sees no hang-up when a console closes and reopens its side.
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) {
        int code = errno;
        close(m);
        return Reason(error, errorSize, "cannot open", name, code);
    }
    if (SetRaw(s) != 0) {
        int code = errno;
        CloseKeepingErrno(s);
        close(m);
        return Reason(error, errorSize, "cannot make raw", name, code);
    }
    master = m;
    slave = s;
    return 0;
}

int DefaultLinkPath(const char* home, int k, char* out, int outSize, char* error, int errorSize) {
    if (home == nullptr || home[0] != '/') {
        int n = snprintf(error, static_cast<size_t>(errorSize), "HOME is not set; use --link or --no-link");
        if (n < 0 && errorSize > 0) error[0] = '\0';
        return -1;
    }
    char folder[SIM_PATH_BYTES];
    int n = snprintf(folder, sizeof folder, "%s/.config", home);
    if (n <= 0 || n >= static_cast<int>(sizeof folder)) {
        return Reason(error, errorSize, "too long:", home, ENAMETOOLONG);
    }
    if (MakeFolder(folder, error, errorSize) != 0) return -1;
    n = snprintf(folder, sizeof folder, "%s/.config/zantrox", home);
    if (n <= 0 || n >= static_cast<int>(sizeof folder)) {
        return Reason(error, errorSize, "too long:", home, ENAMETOOLONG);
    }
    if (MakeFolder(folder, error, errorSize) != 0) return -1;
    n = snprintf(out, static_cast<size_t>(outSize), "%s/com%d", folder, k);
    if (n <= 0 || n >= outSize) return Reason(error, errorSize, "too long:", folder, ENAMETOOLONG);
    return 0;
}

int CreateLink(const char* link, const char* target, char* error, int errorSize) {
    struct stat st;
    if (lstat(link, &st) == 0) {
        // Only a link into /dev/pts/ whose terminal is gone may be replaced: that is
        // what a killed simulator leaves. Anything else belongs to someone.
        int stale = 0;
        if (S_ISLNK(st.st_mode)) {
            char old[SIM_PATH_BYTES];
            ssize_t n = readlink(link, old, sizeof old - 1);
            if (n > 0) {
                old[n] = '\0';
                struct stat gone;
                stale = strncmp(old, PTS_PREFIX, sizeof PTS_PREFIX - 1) == 0 && stat(link, &gone) != 0 &&
                        errno == ENOENT;
            }
        }
        if (!stale) {
            int m = snprintf(error, static_cast<size_t>(errorSize),
                             "%s already exists and is not a stale simulator link; not replacing it", link);
            if (m < 0 && errorSize > 0) error[0] = '\0';
            return LINK_REFUSED;
        }
        if (unlink(link) != 0 && errno != ENOENT) {
            Reason(error, errorSize, "cannot remove stale link", link, errno);
            return LINK_FAILED;
        }
    } else if (errno != ENOENT) {
        Reason(error, errorSize, "cannot look at", link, errno);
        return LINK_FAILED;
    }
    if (symlink(target, link) != 0) {
        if (errno == EEXIST) {
            int m = snprintf(error, static_cast<size_t>(errorSize), "%s appeared meanwhile; not replacing it",
                             link);
            if (m < 0 && errorSize > 0) error[0] = '\0';
            return LINK_REFUSED;
        }
        Reason(error, errorSize, "cannot create link", link, errno);
        return LINK_FAILED;
    }
    return LINK_OK;
}

int RemoveOwnLink(const char* link, const char* target) {
    char now[SIM_PATH_BYTES];
    ssize_t n = readlink(link, now, sizeof now - 1);
    if (n <= 0) return 0;
    now[n] = '\0';
    if (strcmp(now, target) != 0) return 0;
    return unlink(link) == 0 ? 1 : 0;
}
