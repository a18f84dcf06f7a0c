// TLS with OpenSSL 3 over the non-blocking sockets of net_posix.cpp. Each
// session has a context of its own, since every URL may name its own ca=, cert=
// and key=. The verify callback keeps the first problem with the server's
// chain, so a refusal can name the certificate, its names and its dates.
#include "port/tls.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdint>

#include "os/threading.h"
#include "port/port.h"

namespace {

enum { TEXT_BYTES = 200 };

struct Session {
    std::atomic<int> used;
    std::atomic<int> lock;
    SSL_CTX* context;
    SSL* ssl;
    int fd;
    int firstByte;   // the first byte the server sent, -1 before it sent any
    int ended;       // the server closed the connection
    int asked;       // the server sent a CertificateRequest
    int checkError;  // the first X509_V_ERR_* the chain check met, 0 none
    X509* leaf;      // the server's own certificate, as the check saw it
    X509* failed;    // the certificate the first error is about
};

Session sessions[TLS_SESSIONS];

Session* SessionOf(int session) {
    if (session < 0 || session >= TLS_SESSIONS) return nullptr;
    return sessions[session].used.load() != 0 ? &sessions[session] : nullptr;
}

// Waits for the socket to be readable (or writable), at most waitMs. 1 when it is.
int WaitSocket(int fd, bool write, int waitMs) {
    pollfd pfd = {fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int n = 0;
    do {
        n = poll(&pfd, 1, waitMs < 0 ? 0 : waitMs);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? 1 : 0;
}

bool IsAddress(const char* text) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, text, buffer) == 1 || inet_pton(AF_INET6, text, buffer) == 1;
}

// The socket as OpenSSL sees it: send with MSG_NOSIGNAL, so a server that hung
// up makes a failed write, not SIGPIPE (which would end the program).
int SocketWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    const Session* s = static_cast<const Session*>(BIO_get_data(bio));
    ssize_t n = send(s->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

// Reads for OpenSSL, noting what a refusal needs: the server's first byte, its hang-up.
int SocketRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    Session* s = static_cast<Session*>(BIO_get_data(bio));
    ssize_t n = recv(s->fd, data, static_cast<size_t>(size), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
    if (n > 0 && s->firstByte < 0) s->firstByte = static_cast<unsigned char>(data[0]);
    // A server without TCP_NODELAY (ser2net's default) holds its next small
    // record until this one is acknowledged: acknowledged at once, not up to
    // 40 ms later as Linux otherwise may. The kernel drops the mode by itself,
    // so it is asked for again after every read.
    if (n > 0) {
        int on = 1;
        (void)setsockopt(s->fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    if (n == 0) s->ended = 1;
    return static_cast<int>(n);
}

long SocketControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* socketMethod = nullptr;
pthread_once_t socketMethodOnce = PTHREAD_ONCE_INIT;

void MakeSocketMethod() {
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                      "zantrox socket");
    if (method == nullptr) return;
    BIO_meth_set_write(method, SocketWrite);
    BIO_meth_set_read(method, SocketRead);
    BIO_meth_set_ctrl(method, SocketControl);
    socketMethod = method;
}

// A BIO on the session's socket that never raises SIGPIPE; the socket stays the caller's.
BIO* SocketBio(Session& s) {
    pthread_once(&socketMethodOnce, MakeSocketMethod);
    if (socketMethod == nullptr) return nullptr;
    BIO* bio = BIO_new(socketMethod);
    if (bio == nullptr) return nullptr;
    BIO_set_data(bio, &s);
    BIO_set_init(bio, 1);
    return bio;
}

// A passphrase-protected key is refused rather than asked about on a terminal.
int NoPassphrase(char*, int, int, void*) { return 0; }

// Called on the client only when the server sends a CertificateRequest.
int NoteCertificateRequest(SSL* ssl, void*) {
    Session* s = static_cast<Session*>(SSL_get_app_data(ssl));
    if (s != nullptr) s->asked = 1;
    return 1;
}

int KeepFirstProblem(int ok, X509_STORE_CTX* store) {
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    Session* s = ssl != nullptr ? static_cast<Session*>(SSL_get_app_data(ssl)) : nullptr;
    if (s == nullptr) return ok;
    if (s->leaf == nullptr) {
        X509* leaf = X509_STORE_CTX_get0_cert(store);
        if (leaf != nullptr && X509_up_ref(leaf) == 1) s->leaf = leaf;
    }
    if (!ok && s->checkError == 0) {
        s->checkError = X509_STORE_CTX_get_error(store);
        X509* failed = X509_STORE_CTX_get_current_cert(store);
        if (failed != nullptr && X509_up_ref(failed) == 1) s->failed = failed;
    }
    return ok;  // never turned into a pass
}

// "CN=..." of a name, for messages.
void NameText(const X509_NAME* name, char* out, size_t size) {
    out[0] = '\0';
    if (name == nullptr) return;
    int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (i >= 0) {
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
        snprintf(out, size, "CN=%.*s", ASN1_STRING_length(data), reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)));
    } else {
        X509_NAME_oneline(name, out, static_cast<int>(size));
    }
}

void TimeText(const ASN1_TIME* time, char* out, size_t size) {
    tm parts;
    memset(&parts, 0, sizeof parts);
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        snprintf(out, size, "?");
        return;
    }
    strftime(out, size, "%Y-%m-%d %H:%M UTC", &parts);
}

// The names a certificate is for: its DNS and IP alternative names, else its CN.
void NamesOf(X509* cert, char* out, size_t size) {
    out[0] = '\0';
    size_t used = 0;
    auto add = [&](const char* text, int length) {
        int n = snprintf(out + used, size - used, "%s%.*s", used > 0 ? ", " : "", length, text);
        if (n > 0) used = used + static_cast<size_t>(n) < size ? used + static_cast<size_t>(n) : size - 1;
    };
    GENERAL_NAMES* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS) {
            add(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)), ASN1_STRING_length(name->d.dNSName));
        } else if (name->type == GEN_IPADD) {
            char text[64] = "?";
            int length = ASN1_STRING_length(name->d.iPAddress);
            const unsigned char* bytes = ASN1_STRING_get0_data(name->d.iPAddress);
            if (length == 4) inet_ntop(AF_INET, bytes, text, sizeof text);
            if (length == 16) inet_ntop(AF_INET6, bytes, text, sizeof text);
            add(text, static_cast<int>(strlen(text)));
        }
    }
    if (names != nullptr) GENERAL_NAMES_free(names);
    if (used == 0) {
        char cn[TEXT_BYTES];
        NameText(X509_get_subject_name(cert), cn, sizeof cn);
        if (strncmp(cn, "CN=", 3) == 0) add(cn + 3, static_cast<int>(strlen(cn + 3)));
    }
    if (used == 0) snprintf(out, size, "no name at all");
}

// The file of a parameter can be opened for reading: 0, or -1 with the words.
int Readable(const char* parameter, const char* file, char* problem, int size) {
    FILE* f = fopen(file, "rb");
    if (f == nullptr) {
        snprintf(problem, static_cast<size_t>(size), "%s%s: cannot be read (%s)", parameter, file, strerror(errno));
        return -1;
    }
    fclose(f);
    return 0;
}

// Loads ca=, cert= and key= into `context`. 0, or -1 with the words (never a key's contents).
int LoadFiles(SSL_CTX* context, const NetTlsSettings& settings, char* problem, int size) {
    const size_t room = static_cast<size_t>(size);
    if (settings.ca[0] != '\0') {
        if (Readable("ca=", settings.ca, problem, size) != 0) return -1;
        if (SSL_CTX_load_verify_locations(context, settings.ca, nullptr) != 1) {
            snprintf(problem, room, "ca=%s: holds no certificate in PEM (-----BEGIN CERTIFICATE-----)", settings.ca);
            return -1;
        }
    } else if (SSL_CTX_set_default_verify_paths(context) != 1) {
        snprintf(problem, room, "the system's store of certificates cannot be read: give ca=");
        return -1;
    }
    if (settings.cert[0] == '\0') return 0;
    const char* key = settings.key[0] != '\0' ? settings.key : settings.cert;
    if (Readable("cert=", settings.cert, problem, size) != 0) return -1;
    if (settings.key[0] != '\0' && Readable("key=", settings.key, problem, size) != 0) return -1;
    if (SSL_CTX_use_certificate_chain_file(context, settings.cert) != 1) {
        snprintf(problem, room, "cert=%s: holds no certificate in PEM (-----BEGIN CERTIFICATE-----)", settings.cert);
        return -1;
    }
    SSL_CTX_set_default_passwd_cb(context, NoPassphrase);
    if (SSL_CTX_use_PrivateKey_file(context, key, SSL_FILETYPE_PEM) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
            snprintf(problem, room, "key=%s: is not the key of the certificate in cert=%s", key, settings.cert);
            return -1;
        }
        snprintf(problem, room,
                 "%s%s: holds no private key in PEM that can be used without a passphrase "
                 "(one with a passphrase: openssl pkey -in FILE -out NEWFILE)",
                 settings.key[0] != '\0' ? "key=" : "cert= (no key= given, so the key is looked for there) ", key);
        return -1;
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        snprintf(problem, room, "key=%s: is not the key of the certificate in cert=%s", key, settings.cert);
        return -1;
    }
    return 0;
}

SSL_CTX* NewContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return context;
}

void FreeSession(Session& s) {
    if (s.ssl != nullptr) SSL_free(s.ssl);
    if (s.context != nullptr) SSL_CTX_free(s.context);
    if (s.leaf != nullptr) X509_free(s.leaf);
    if (s.failed != nullptr) X509_free(s.failed);
    s.ssl = nullptr;
    s.context = nullptr;
    s.leaf = nullptr;
    s.failed = nullptr;
    s.used.store(0);
}

// The refusal of a chain or name check in words. Returns a PortOpenError.
int DescribeCheck(const Session& s, const char* checked, char* problem, size_t room) {
    char subject[TEXT_BYTES] = "";
    char issuer[TEXT_BYTES] = "";
    X509* about = s.failed != nullptr ? s.failed : s.leaf;
    if (about != nullptr) {
        NameText(X509_get_subject_name(about), subject, sizeof subject);
        NameText(X509_get_issuer_name(about), issuer, sizeof issuer);
    }
    const bool own = about == s.leaf || (about != nullptr && s.leaf != nullptr && X509_cmp(about, s.leaf) == 0);
    const char* whose = own ? "the server's certificate" : "a certificate in the server's chain";
    char when[64];
    switch (s.checkError) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH: {
            char names[TLS_PROBLEM_BYTES / 2];
            if (s.leaf != nullptr) NamesOf(s.leaf, names, sizeof names);
            else snprintf(names, sizeof names, "?");
            snprintf(problem, room,
                     "the server's certificate is for %s, not %s: connect by one of those names, or give the one to "
                     "check with name=",
                     names, checked);
            return OPEN_ERROR_TLS_WRONG_NAME;
        }
        case X509_V_ERR_CERT_HAS_EXPIRED:
            TimeText(about != nullptr ? X509_get0_notAfter(about) : nullptr, when, sizeof when);
            snprintf(problem, room, "%s (%s) expired on %s", whose, subject, when);
            return OPEN_ERROR_TLS_EXPIRED;
        case X509_V_ERR_CERT_NOT_YET_VALID: {
            TimeText(about != nullptr ? X509_get0_notBefore(about) : nullptr, when, sizeof when);
            char now[64];
            time_t t = time(nullptr);
            tm parts;
            gmtime_r(&t, &parts);
            strftime(now, sizeof now, "%Y-%m-%d %H:%M UTC", &parts);
            snprintf(problem, room, "%s (%s) is not valid before %s (this machine's clock says %s)", whose, subject,
                     when, now);
            return OPEN_ERROR_TLS_EXPIRED;
        }
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            snprintf(problem, room, "%s (%s) was issued by %s, an unknown authority", whose, subject, issuer);
            return OPEN_ERROR_TLS_UNTRUSTED;
        default:
            snprintf(problem, room, "%s (%s) was refused: %s", whose, subject,
                     X509_verify_cert_error_string(s.checkError));
            return OPEN_ERROR_TLS_FAILED;
    }
}

// What the handshake's failure means. Returns a PortOpenError with the words.
int DescribeFailure(const Session& s, const char* checked, unsigned long reason, char* problem, size_t room) {
    if (s.checkError != 0) return DescribeCheck(s, checked, problem, room);
    int code = ERR_GET_REASON(reason);
    if (s.asked && (code == SSL_R_SSLV3_ALERT_BAD_CERTIFICATE || code == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED ||
                    code == SSL_R_TLSV1_ALERT_UNKNOWN_CA || code == SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN ||
                    code == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE || code == SSL_R_TLSV1_ALERT_ACCESS_DENIED ||
                    code == SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE || code == SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED)) {
        snprintf(problem, room, "the server refused our certificate (TLS said: %s)", ERR_reason_error_string(reason));
        return OPEN_ERROR_TLS_REFUSED_US;
    }
    const char* said = reason != 0 ? ERR_reason_error_string(reason) : nullptr;
    snprintf(problem, room, "the TLS handshake failed (%s)", said != nullptr ? said : "the connection ended");
    return OPEN_ERROR_TLS_FAILED;
}

}  // namespace

int TlsAvailable() { return 1; }

int TlsCheckFiles(const NetAddress& address, char* problem, int size) {
    if (size > 0) problem[0] = '\0';
    if (!address.tls) return 0;
    SSL_CTX* context = NewContext();
    if (context == nullptr) {
        snprintf(problem, static_cast<size_t>(size), "TLS could not be set up");
        return -1;
    }
    int result = LoadFiles(context, address.settings, problem, size);
    SSL_CTX_free(context);
    ERR_clear_error();
    return result;
}

int TlsStart(NetSocket socket, const NetAddress& address, long long deadlineUs, int* error, char* problem,
             int size) {
    const size_t room = static_cast<size_t>(size);
    problem[0] = '\0';
    int slot = -1;
    for (int i = 0; i < TLS_SESSIONS && slot < 0; ++i) {
        int expected = 0;
        if (sessions[i].used.compare_exchange_strong(expected, 1)) slot = i;
    }
    if (slot < 0) {
        *error = OPEN_ERROR_BUSY;
        return -1;
    }
    Session& s = sessions[slot];
    s.lock.store(0);
    s.fd = static_cast<int>(socket);
    s.asked = 0;
    s.firstByte = -1;
    s.ended = 0;
    s.checkError = 0;
    s.context = NewContext();
    s.ssl = nullptr;
    ERR_clear_error();
    if (s.context == nullptr || LoadFiles(s.context, address.settings, problem, size) != 0) {
        if (problem[0] == '\0') snprintf(problem, room, "TLS could not be set up");
        *error = OPEN_ERROR_TLS_FILES;
        FreeSession(s);
        return -1;
    }
    SSL_CTX_set_verify(s.context, SSL_VERIFY_PEER, KeepFirstProblem);
    SSL_CTX_set_cert_cb(s.context, NoteCertificateRequest, nullptr);
    s.ssl = SSL_new(s.context);
    const char* checked = address.settings.name[0] != '\0' ? address.settings.name : address.host;
    BIO* bio = s.ssl != nullptr ? SocketBio(s) : nullptr;
    if (bio != nullptr) SSL_set_bio(s.ssl, bio, bio);  // the session owns it now
    bool named = bio != nullptr;
    if (named) {
        SSL_set_app_data(s.ssl, &s);
        SSL_set_hostflags(s.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (IsAddress(checked)) {
            named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), checked) == 1;
        } else {
            named = SSL_set1_host(s.ssl, checked) == 1 && SSL_set_tlsext_host_name(s.ssl, checked) == 1;
        }
    }
    if (!named) {
        snprintf(problem, room, "TLS could not be set up for the name %s", checked);
        *error = OPEN_ERROR_TLS_FAILED;
        FreeSession(s);
        return -1;
    }
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(s.ssl);
        if (result == 1) break;
        int why = SSL_get_error(s.ssl, result);
        if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
            if (!WaitSocket(s.fd, why == SSL_ERROR_WANT_WRITE, OsMsUntil(deadlineUs))) {
                if (s.firstByte >= 0) {
                    *error = OPEN_ERROR_NET_TIMED_OUT;
                } else {
                    snprintf(problem, room, "Connected, but no TLS answer within 3 s");
                    *error = OPEN_ERROR_TLS_NOT_TLS;
                }
                FreeSession(s);
                return -1;
            }
            continue;
        }
        // A TLS server's first byte starts a handshake record (22) or an alert (21).
        if ((s.firstByte >= 0 && s.firstByte != 0x16 && s.firstByte != 0x15) || (s.firstByte < 0 && s.ended)) {
            snprintf(problem, room, s.firstByte >= 0 ? "It answered, but not in TLS"
                                                     : "It hung up on our TLS greeting without a word");
            *error = OPEN_ERROR_TLS_NOT_TLS;
            FreeSession(s);
            ERR_clear_error();
            return -1;
        }
        *error = DescribeFailure(s, checked, ERR_peek_last_error(), problem, size);
        FreeSession(s);
        ERR_clear_error();
        return -1;
    }
    // SSL_VERIFY_PEER already ended a handshake whose check failed; this is the
    // belt to those braces.
    if (SSL_get_verify_result(s.ssl) != X509_V_OK || SSL_get0_peer_certificate(s.ssl) == nullptr) {
        if (s.checkError == 0) s.checkError = static_cast<int>(SSL_get_verify_result(s.ssl));
        *error = DescribeFailure(s, checked, 0, problem, size);
        FreeSession(s);
        return -1;
    }
    *error = OPEN_ERROR_NONE;
    return slot;
}

int TlsSend(int session, const unsigned char* data, int length, long long deadlineUs) {
    Session* s = SessionOf(session);
    if (s == nullptr) return -1;
    int done = 0;
    while (done < length) {
        int n = 0;
        int why = SSL_ERROR_NONE;
        {
            FlagLock lock(s->lock);
            ERR_clear_error();
            n = SSL_write(s->ssl, data + done, length - done);
            if (n <= 0) why = SSL_get_error(s->ssl, n);
        }
        if (n > 0) {
            done += n;
            continue;
        }
        if (why != SSL_ERROR_WANT_WRITE && why != SSL_ERROR_WANT_READ) return -1;
        int wait = OsMsUntil(deadlineUs);
        if (wait <= 0) return -1;
        (void)WaitSocket(s->fd, why == SSL_ERROR_WANT_WRITE, wait);
    }
    return 0;
}

int TlsReceive(int session, unsigned char* data, int size, int waitMs) {
    Session* s = SessionOf(session);
    if (s == nullptr) return -1;
    for (int round = 0; round < 2; ++round) {
        int n = 0;
        int why = SSL_ERROR_NONE;
        {
            FlagLock lock(s->lock);
            ERR_clear_error();
            n = SSL_read(s->ssl, data, size);
            if (n <= 0) why = SSL_get_error(s->ssl, n);
        }
        if (n > 0) return n;
        if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) return -1;
        if (round == 1 || waitMs <= 0) return 0;
        if (!WaitSocket(s->fd, why == SSL_ERROR_WANT_WRITE, waitMs)) return 0;
    }
    return 0;
}

int TlsBuffered(int session) {
    Session* s = SessionOf(session);
    if (s == nullptr) return 0;
    FlagLock lock(s->lock);
    return SSL_pending(s->ssl) > 0 ? 1 : 0;
}

int TlsServerAskedForCertificate(int session) {
    Session* s = SessionOf(session);
    return s != nullptr ? s->asked : 0;
}

void TlsEnd(int session) {
    Session* s = SessionOf(session);
    if (s == nullptr) return;
    {
        FlagLock lock(s->lock);
        (void)SSL_shutdown(s->ssl);  // one try: the socket does not wait
        ERR_clear_error();
    }
    FreeSession(*s);
}
