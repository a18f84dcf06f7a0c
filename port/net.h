// TCP client sockets as the network device needs them. One implementation file
// per platform (net_posix.cpp, net_win32.cpp) gathers what the system says; the
// device (net_device.cpp) decides what it means.
#pragma once

#include <cstdint>

typedef std::intptr_t NetSocket;  // -1: none

// Resolves `host` (a name or a numeric address) and connects to `port`, giving
// up at `deadlineUs` (OsMonotonicUs) however long the name service would take.
// The socket does not wait for reads or writes and sends small packets at once
// (TCP_NODELAY). Returns the socket, or -1 with the reason (a PortOpenError) in
// *error; nothing stays open then.
NetSocket NetConnect(const char* host, int port, long long deadlineUs, int* error);

// Sends all `length` bytes, waiting for room until `deadlineUs`. Returns 0, or -1
// when the connection failed or the time ran out.
int NetSend(NetSocket socket, const unsigned char* data, int length, long long deadlineUs);

// Receives up to `size` bytes, waiting at most `waitMs` for the first. Returns
// the count (> 0), 0 when none came, -1 when the other end closed the connection
// or it failed.
int NetReceive(NetSocket socket, unsigned char* data, int size, int waitMs);

// Waits at most `waitMs` until one of the `count` sockets (at most 8) has something
// to read or has ended. Sets readable[i] to 1 for each such socket and returns how
// many; 0 when the time ran out.
int NetWaitSockets(const NetSocket* sockets, int count, int waitMs, int* readable);

// 1 when the other end has closed the connection (or it failed) and nothing is
// left to read; 0 otherwise. Reads nothing.
int NetPeerClosed(NetSocket socket);

void NetClose(NetSocket socket);
