// TLS over a connected socket, for rfc2217+tls:// and socket+tls://. One
// implementation per platform: OpenSSL on Linux (tls_openssl.cpp), Schannel on
// Windows (tls_schannel.cpp). The server is always verified: its chain against
// ca= (or the system's store) and its name against name= (or the URL's host),
// before the caller sends a byte. A session is a small number; -1 is none.
//
// Threads: one thread may receive while another sends on the same session.
#pragma once

#include "port/net.h"
#include "port/net_url.h"

enum {
    TLS_SESSIONS = 4,            // the network device's lines, and a probe beside them
    TLS_PROBLEM_BYTES = 400,     // a refusal's particulars
};

// 1 when this build can open TLS URLs, else 0.
int TlsAvailable();

// Checks that the ca=, cert= and key= files of `address` can be read and used
// (certificates in PEM, a key that belongs to the certificate and is not
// protected by a passphrase), before anything is connected. Returns 0, or -1
// with the problem in words in `problem`, naming the parameter and the file:
// never what a key file holds.
int TlsCheckFiles(const NetAddress& address, char* problem, int size);

// The handshake on the connected `socket` for `address`, by `deadlineUs`
// (OsMonotonicUs). Returns a session, or -1 with a PortOpenError in *error and
// the particulars in words in `problem`; the socket stays the caller's either way.
int TlsStart(NetSocket socket, const NetAddress& address, long long deadlineUs, int* error, char* problem,
             int size);

// As NetSend, inside the session.
int TlsSend(int session, const unsigned char* data, int length, long long deadlineUs);

// As NetReceive, inside the session: the count (> 0), 0 when nothing came in
// `waitMs`, -1 when the connection ended (a TLS alert, end of file, an error).
int TlsReceive(int session, unsigned char* data, int size, int waitMs);

// 1 when the session holds received bytes its socket no longer shows (a
// record read whole but not yet handed out), else 0.
int TlsBuffered(int session);

// 1 when the server asked for our certificate during the handshake, 0 when it
// did not, -1 when this TLS library cannot tell (Wine's Schannel answers a
// request itself, without saying so).
int TlsServerAskedForCertificate(int session);

// Says goodbye (close_notify, without waiting) and frees the session. The
// socket stays open: the caller closes it.
void TlsEnd(int session);
