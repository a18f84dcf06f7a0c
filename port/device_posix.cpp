// POSIX serial devices through termios. COM port k is the path
// ~/.config/zantrox/comK when it exists (normally a symlink to a tty, made by the
// user or by the simulator), else /dev/ttyS{k-1}. A handle is the descriptor + 1,
// so handle 0 ("no device") can never stand for standard input.
#include "port/device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "port/device_path.h"

namespace {

int DescriptorOf(DeviceHandle handle) { return static_cast<int>(handle - 1); }

speed_t SpeedFor(int baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}

// The reason an open failed, from the errno of open() or flock().
int OpenErrorFor(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO:  // a ttyS name with no UART behind it
        case ENOTDIR:
            return OPEN_ERROR_NO_DEVICE;
        case EACCES:
        case EPERM:
        case EROFS:
            return OPEN_ERROR_PERMISSION;
        case EBUSY:
        case EWOULDBLOCK:
            return OPEN_ERROR_BUSY;
        case EISDIR:
            return OPEN_ERROR_NOT_SERIAL;
        default:
            return OPEN_ERROR_OTHER;
    }
}

DeviceHandle PosixOpen(int k, int* error) {
    char path[DEVICE_PATH_BYTES];
    const char* name = PortDeviceName(k);
    if (name == nullptr) {
        if (DevicePathFor(k, getenv("HOME"), path, sizeof path) != 0) {
            *error = OPEN_ERROR_NO_DEVICE;
            return 0;
        }
        name = path;
    }
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = OpenErrorFor(errno);
        return 0;
    }
    if (!isatty(fd)) {
        close(fd);
        *error = OPEN_ERROR_NOT_SERIAL;
        return 0;
    }
    // Exclusive use among programs that ask for it, as a Windows COM port is
    // exclusive: a second console on the same device is refused like a port in use.
    // An advisory lock goes with the descriptor, so a crashed console leaves none.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int flockError = errno;
        close(fd);
        *error = flockError == EWOULDBLOCK ? OPEN_ERROR_BUSY : OpenErrorFor(flockError);
        return 0;
    }
    *error = OPEN_ERROR_NONE;
    return static_cast<DeviceHandle>(fd) + 1;
}

void PosixClose(DeviceHandle handle) {
    if (handle > 0) close(DescriptorOf(handle));
}

int PosixConfigure(DeviceHandle handle, const LineSettings& line) {
    int fd = DescriptorOf(handle);
    termios tio;
    if (tcgetattr(fd, &tio) != 0) return PORT_IO_ERROR;
    speed_t speed = SpeedFor(line.baudRate);
    if (speed == B0) return PORT_IO_ERROR;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CREAD | CLOCAL | (line.dataBits == 7 ? CS7 : CS8);
    if (line.parity != 0) tio.c_cflag |= PARENB | (line.parity == 1 ? PARODD : 0);
    if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;  // reads return at once with what has arrived
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return PORT_IO_ERROR;
    // A pseudo-terminal keeps 8N1 whatever is asked; that is not a failure.
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return PORT_IO_ERROR;
    return PORT_OK;
}

void PosixRaiseDtrRts(DeviceHandle handle) {
    int fd = DescriptorOf(handle);
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &dtr);  // fails on a pseudo-terminal: no modem lines
    (void)ioctl(fd, TIOCMBIS, &rts);
}

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Writes everything within 10 ms per byte + 1000 ms, the bound a Windows port
// gets from its write time-outs. Running out of time is reported as a failure.
int PosixWrite(DeviceHandle handle, const unsigned char* data, int length) {
    int fd = DescriptorOf(handle);
    long long deadline = NowMs() + 10LL * length + 1000;
    int done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return PORT_IO_ERROR;
        long long left = deadline - NowMs();
        if (left <= 0) return PORT_IO_ERROR;
        pollfd pfd = {fd, POLLOUT, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) return PORT_IO_ERROR;
    }
    return PORT_OK;
}

enum { READ_WAIT_MS = 1 };

int ReadOne(int fd, unsigned char* byte) {
    ssize_t n = read(fd, byte, 1);
    return n == 1 ? 1 : 0;
}

// Sleeps until the line has something to read (or reports a hang-up), at most
// READ_WAIT_MS, and returns the poll's events. The receive windows are counted by
// the tick thread, not here.
short AwaitReadable(int fd) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, READ_WAIT_MS) <= 0) return 0;
    return pfd.revents;
}

// A byte that is there is returned at once. When none is, the read waits up to
// 1 ms for one before answering "no data", so the receive side, which asks again
// until its window closes, sleeps in the kernel rather than spinning a core. A
// byte arriving during the wait is returned as soon as it is there. A hung-up
// line (adapter pulled) answers poll at once with nothing to read: the 1 ms is
// then slept out, so that case does not spin either.
int PosixReadByte(DeviceHandle handle, unsigned char* byte) {
    int fd = DescriptorOf(handle);
    if (ReadOne(fd, byte) == 1) return 1;
    short events = AwaitReadable(fd);
    if (ReadOne(fd, byte) == 1) return 1;
    if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        timespec pause = {0, READ_WAIT_MS * 1000000L};
        (void)nanosleep(&pause, nullptr);
    }
    return 0;
}

void PosixSetRts(DeviceHandle handle, int enable) {
    int rts = TIOCM_RTS;
    (void)ioctl(DescriptorOf(handle), enable ? TIOCMBIS : TIOCMBIC, &rts);
}

// A hung-up terminal (adapter pulled, pseudo-terminal's other end closed) reports
// POLLHUP or POLLERR without waiting.
int PosixLost(DeviceHandle handle) {
    pollfd pfd = {DescriptorOf(handle), POLLIN, 0};
    if (poll(&pfd, 1, 0) < 0) return 0;
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

// One poll(2) over every descriptor: the thread sleeps in the kernel until a byte
// or a hang-up comes on any of them, or the time is up.
int PosixWaitReadable(const DeviceHandle* handles, int count, int timeoutMs, int* ready) {
    pollfd fds[16];
    if (count > 16) count = 16;
    for (int i = 0; i < count; ++i) {
        fds[i].fd = DescriptorOf(handles[i]);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
        ready[i] = 0;
    }
    int n = poll(fds, static_cast<nfds_t>(count), timeoutMs < 0 ? 0 : timeoutMs);
    if (n <= 0) return 0;
    int total = 0;
    for (int i = 0; i < count; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
            ready[i] = 1;
            ++total;
        }
    }
    return total;
}

}  // namespace

int PlatformMappedName(int k, char* out, int size) {
    char path[DEVICE_PATH_BYTES];
    if (size <= 1 || DevicePathFor(k, getenv("HOME"), path, sizeof path) != 0) return -1;
    ssize_t n = readlink(path, out, static_cast<size_t>(size - 1));
    if (n <= 0 || n >= size - 1) return -1;  // not a link, or a target cut short
    out[n] = '\0';
    return 0;
}

const DeviceOps PlatformDevice = {PosixOpen,     PosixClose,  PosixConfigure, PosixRaiseDtrRts, PosixWrite,
                                  PosixReadByte, PosixSetRts, PosixLost,      PosixWaitReadable};
