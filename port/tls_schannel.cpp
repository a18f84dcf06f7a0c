// TLS on Windows with Schannel (secur32, crypt32: Windows' own DLLs) over the
// sockets of net_win32.cpp. Schannel is told to leave the server's certificate
// to us (manual validation), and it is checked here before a byte is sent:
// - with ca=, against exactly the certificates of that file: the server's chain
//   (its own certificate, then the ones it sent) is walked up until one is
//   signed by a certificate of the file, or is one of them;
// - without ca=, by the system's chain engine and its SSL policy.
// The name is checked against the certificate's DNS and IP names (its CN when
// it has no DNS name). Client certificates (cert=, key=) are not offered on
// Windows yet: they are refused as a usage error rather than left out.
// TLS 1.2 is asked for: Schannel takes it through SCHANNEL_CRED on every
// Windows still in use, and Wine's Schannel does it too.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "os/threading.h"
#include "port/port.h"
#include "port/tls.h"

namespace {

enum {
    RECORD_BYTES = 16384 + 2048,  // one TLS record with its header and trailer, and some room
    TEXT_BYTES = 200,
    CHAIN_DEPTH = 8,
    PEM_BYTES = 256 * 1024,       // a ca= file larger than this is not a list of certificates
};

struct Session {
    std::atomic<int> used;
    std::atomic<int> lock;
    NetSocket socket;
    CredHandle credentials;
    CtxtHandle context;
    int haveCredentials;
    int haveContext;
    int asked;
    SecPkgContext_StreamSizes sizes;
    unsigned char in[RECORD_BYTES];  // received, not yet decrypted
    int inLength;
    unsigned char plain[RECORD_BYTES];  // decrypted, not yet handed out
    int plainNext;
    int plainEnd;
    unsigned char out[RECORD_BYTES];
    int ended;
};

Session sessions[TLS_SESSIONS];

Session* SessionOf(int session) {
    if (session < 0 || session >= TLS_SESSIONS) return nullptr;
    return sessions[session].used.load() != 0 ? &sessions[session] : nullptr;
}

void FreeSession(Session& s) {
    if (s.haveContext) DeleteSecurityContext(&s.context);
    if (s.haveCredentials) FreeCredentialsHandle(&s.credentials);
    s.haveContext = 0;
    s.haveCredentials = 0;
    s.used.store(0);
}

// The certificates of a PEM file in a new memory store; nullptr with the words.
HCERTSTORE ReadPemCertificates(const char* parameter, const char* file, char* problem, size_t room) {
    FILE* f = std::fopen(file, "rb");
    if (f == nullptr) {
        std::snprintf(problem, room, "%s%s: cannot be read (%s)", parameter, file, std::strerror(errno));
        return nullptr;
    }
    static char text[PEM_BYTES + 1];
    size_t n = std::fread(text, 1, PEM_BYTES, f);
    std::fclose(f);
    text[n] = '\0';
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        std::snprintf(problem, room, "%s%s: no room for its certificates", parameter, file);
        return nullptr;
    }
    const char* begin = "-----BEGIN CERTIFICATE-----";
    const char* end = "-----END CERTIFICATE-----";
    int count = 0;
    for (const char* p = std::strstr(text, begin); p != nullptr; p = std::strstr(p, begin)) {
        const char* stop = std::strstr(p, end);
        if (stop == nullptr) break;
        stop += std::strlen(end);
        static BYTE der[PEM_BYTES];
        DWORD length = sizeof der;
        if (CryptStringToBinaryA(p, static_cast<DWORD>(stop - p), CRYPT_STRING_BASE64HEADER, der, &length, nullptr,
                                 nullptr) &&
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, length, CERT_STORE_ADD_ALWAYS, nullptr)) {
            ++count;
        }
        p = stop;
    }
    if (count == 0) {
        CertCloseStore(store, 0);
        std::snprintf(problem, room, "%s%s: holds no certificate in PEM (-----BEGIN CERTIFICATE-----)", parameter, file);
        return nullptr;
    }
    return store;
}

void NameText(PCCERT_CONTEXT cert, bool issuer, char* out, size_t size) {
    char name[TEXT_BYTES] = "";
    CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, issuer ? CERT_NAME_ISSUER_FLAG : 0,
                       const_cast<char*>(szOID_COMMON_NAME), name, sizeof name);
    std::snprintf(out, size, "CN=%s", name);
}

void TimeText(const FILETIME& time, char* out, size_t size) {
    SYSTEMTIME t;
    FileTimeToSystemTime(&time, &t);
    std::snprintf(out, size, "%04u-%02u-%02u %02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
}

// The DNS and IP names of a certificate; its CN when it has no DNS name.
void NamesOf(PCCERT_CONTEXT cert, char* out, size_t size, const char* checked, bool* matches) {
    out[0] = '\0';
    *matches = false;
    size_t used = 0;
    auto add = [&](const char* text) {
        int n = std::snprintf(out + used, size - used, "%s%s", used > 0 ? ", " : "", text);
        if (n > 0) used = used + static_cast<size_t>(n) < size ? used + static_cast<size_t>(n) : size - 1;
    };
    unsigned char checkedIp[16];
    int checkedIpLength = 0;
    if (InetPtonA(AF_INET, checked, checkedIp) == 1) checkedIpLength = 4;
    else if (InetPtonA(AF_INET6, checked, checkedIp) == 1) checkedIpLength = 16;
    auto dnsMatches = [&](const char* name) {
        if (checkedIpLength != 0) return false;
        if (name[0] == '*' && name[1] == '.') {  // a wildcard stands for one whole label
            const char* dot = std::strchr(checked, '.');
            return dot != nullptr && dot != checked && lstrcmpiA(dot, name + 1) == 0;
        }
        return lstrcmpiA(name, checked) == 0;
    };
    bool hadDns = false;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD length = 0;
    if (extension != nullptr &&
        CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &length)) {
        for (DWORD i = 0; i < names->cAltEntry; ++i) {
            const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
            char text[TEXT_BYTES];
            if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                hadDns = true;
                WideCharToMultiByte(CP_UTF8, 0, entry.pwszDNSName, -1, text, sizeof text, nullptr, nullptr);
                add(text);
                if (dnsMatches(text)) *matches = true;
            } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
                const CRYPT_DATA_BLOB& ip = entry.IPAddress;
                text[0] = '\0';
                if (ip.cbData == 4) InetNtopA(AF_INET, ip.pbData, text, sizeof text);
                if (ip.cbData == 16) InetNtopA(AF_INET6, ip.pbData, text, sizeof text);
                add(text);
                if (checkedIpLength != 0 && static_cast<int>(ip.cbData) == checkedIpLength &&
                    std::memcmp(ip.pbData, checkedIp, ip.cbData) == 0) {
                    *matches = true;
                }
            }
        }
        LocalFree(names);
    }
    if (!hadDns) {
        char cn[TEXT_BYTES] = "";
        CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn, sizeof cn);
        if (cn[0] != '\0') {
            add(cn);
            if (dnsMatches(cn)) *matches = true;
        }
    }
    if (used == 0) std::snprintf(out, size, "no name at all");
}

// A certificate's validity against now: 0, or an OPEN_ERROR_TLS_EXPIRED with the words.
int CheckTime(PCCERT_CONTEXT cert, bool own, char* problem, size_t room) {
    LONG when = CertVerifyTimeValidity(nullptr, cert->pCertInfo);
    if (when == 0) return 0;
    char subject[TEXT_BYTES];
    char date[64];
    NameText(cert, false, subject, sizeof subject);
    const char* whose = own ? "the server's certificate" : "a certificate in the server's chain";
    if (when > 0) {
        TimeText(cert->pCertInfo->NotAfter, date, sizeof date);
        std::snprintf(problem, room, "%s (%s) expired on %s", whose, subject, date);
    } else {
        TimeText(cert->pCertInfo->NotBefore, date, sizeof date);
        std::snprintf(problem, room, "%s (%s) is not valid before %s (check this machine's clock)", whose, subject, date);
    }
    return OPEN_ERROR_TLS_EXPIRED;
}

bool SignedBy(PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer) {
    if (!CertCompareCertificateName(X509_ASN_ENCODING, &subject->pCertInfo->Issuer, &issuer->pCertInfo->Subject)) {
        return false;
    }
    return CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                             const_cast<CERT_CONTEXT*>(subject), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                             const_cast<CERT_CONTEXT*>(issuer), 0, nullptr) != FALSE;
}

// The first certificate in `store` that signed `cert`, or nullptr (to be freed by the caller).
PCCERT_CONTEXT IssuerIn(HCERTSTORE store, PCCERT_CONTEXT cert) {
    PCCERT_CONTEXT candidate = nullptr;
    while ((candidate = CertEnumCertificatesInStore(store, candidate)) != nullptr) {
        if (!CertCompareCertificate(X509_ASN_ENCODING, candidate->pCertInfo, cert->pCertInfo) && SignedBy(cert, candidate)) {
            return candidate;  // the enumeration's reference is the caller's now
        }
    }
    return nullptr;
}

bool InStore(HCERTSTORE store, PCCERT_CONTEXT cert) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
    if (found == nullptr) return false;
    CertFreeCertificateContext(found);
    return true;
}

// The server's chain against exactly the certificates of ca=. Returns 0 or a PortOpenError.
int CheckAgainstFile(PCCERT_CONTEXT leaf, HCERTSTORE trusted, char* problem, size_t room) {
    PCCERT_CONTEXT cert = CertDuplicateCertificateContext(leaf);
    for (int depth = 0; depth < CHAIN_DEPTH; ++depth) {
        int expired = CheckTime(cert, depth == 0, problem, room);
        if (expired != 0) {
            CertFreeCertificateContext(cert);
            return expired;
        }
        if (InStore(trusted, cert)) break;  // a self-signed server named as its own ca=
        PCCERT_CONTEXT anchor = IssuerIn(trusted, cert);
        if (anchor != nullptr) {
            int anchorExpired = CheckTime(anchor, false, problem, room);
            CertFreeCertificateContext(anchor);
            CertFreeCertificateContext(cert);
            return anchorExpired;
        }
        PCCERT_CONTEXT next = IssuerIn(leaf->hCertStore, cert);  // what the server sent beside its own
        if (next == nullptr) {
            char subject[TEXT_BYTES];
            char issuer[TEXT_BYTES];
            NameText(cert, false, subject, sizeof subject);
            NameText(cert, true, issuer, sizeof issuer);
            std::snprintf(problem, room, "%s (%s) was issued by %s, an unknown authority",
                          depth == 0 ? "the server's certificate" : "a certificate in the server's chain", subject, issuer);
            CertFreeCertificateContext(cert);
            return OPEN_ERROR_TLS_UNTRUSTED;
        }
        CertFreeCertificateContext(cert);
        cert = next;
        if (depth == CHAIN_DEPTH - 1) break;
    }
    CertFreeCertificateContext(cert);
    return 0;
}

// The server's chain against the system's store. Returns 0 or a PortOpenError.
int CheckAgainstSystem(PCCERT_CONTEXT leaf, char* problem, size_t room) {
    CERT_CHAIN_PARA parameters;
    std::memset(&parameters, 0, sizeof parameters);
    parameters.cbSize = sizeof parameters;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, leaf->hCertStore, &parameters, 0, nullptr, &chain)) {
        std::snprintf(problem, room, "the system could not check the server's certificate");
        return OPEN_ERROR_TLS_FAILED;
    }
    CERT_CHAIN_POLICY_PARA policy;
    std::memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    // No server name: the name is checked by the caller, against the same rules on every system.
    HTTPSPolicyCallbackData ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbStruct = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    CertFreeCertificateChain(chain);
    if (checked && status.dwError == 0) return 0;
    int expired = CheckTime(leaf, true, problem, room);
    if (expired != 0) return expired;
    char subject[TEXT_BYTES];
    char issuer[TEXT_BYTES];
    NameText(leaf, false, subject, sizeof subject);
    NameText(leaf, true, issuer, sizeof issuer);
    std::snprintf(problem, room, "the server's certificate (%s) was issued by %s, an unknown authority (Windows: 0x%08lx)",
                  subject, issuer, static_cast<unsigned long>(status.dwError));
    return OPEN_ERROR_TLS_UNTRUSTED;
}

int Verify(Session& s, const NetAddress& address, char* problem, size_t room) {
    PCCERT_CONTEXT leaf = nullptr;
    if (QueryContextAttributesA(&s.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) != SEC_E_OK || leaf == nullptr) {
        std::snprintf(problem, room, "the server showed no certificate");
        return OPEN_ERROR_TLS_FAILED;
    }
    int result = 0;
    if (address.settings.ca[0] != '\0') {
        HCERTSTORE trusted = ReadPemCertificates("ca=", address.settings.ca, problem, room);
        if (trusted == nullptr) {
            CertFreeCertificateContext(leaf);
            return OPEN_ERROR_TLS_FILES;
        }
        result = CheckAgainstFile(leaf, trusted, problem, room);
        CertCloseStore(trusted, 0);
    } else {
        result = CheckAgainstSystem(leaf, problem, room);
    }
    if (result == 0) {
        const char* checked = address.settings.name[0] != '\0' ? address.settings.name : address.host;
        char names[TLS_PROBLEM_BYTES / 2];
        bool matches = false;
        NamesOf(leaf, names, sizeof names, checked, &matches);
        if (!matches) {
            std::snprintf(problem, room,
                          "the server's certificate is for %s, not %s: connect by one of those names, or give the one to "
                          "check with name=",
                          names, checked);
            result = OPEN_ERROR_TLS_WRONG_NAME;
        }
    }
    CertFreeCertificateContext(leaf);
    return result;
}

int SendAll(Session& s, const void* data, unsigned long length, long long deadlineUs) {
    return NetSend(s.socket, static_cast<const unsigned char*>(data), static_cast<int>(length), deadlineUs);
}

// Receives more of the server's bytes into `in`, waiting at most waitMs. The
// count, 0 when none came, -1 when the connection ended or `in` is full.
int ReceiveMore(Session& s, int waitMs) {
    int room = static_cast<int>(sizeof s.in) - s.inLength;
    if (room <= 0) return -1;
    int n = NetReceive(s.socket, s.in + s.inLength, room, waitMs);
    if (n > 0) s.inLength += n;
    return n;
}

// Keeps the bytes Schannel did not use (SECBUFFER_EXTRA) at the front of `in`.
void KeepExtra(Session& s, const SecBuffer* buffers, int count) {
    for (int i = 0; i < count; ++i) {
        if (buffers[i].BufferType == SECBUFFER_EXTRA && buffers[i].cbBuffer > 0) {
            std::memmove(s.in, s.in + s.inLength - buffers[i].cbBuffer, buffers[i].cbBuffer);
            s.inLength = static_cast<int>(buffers[i].cbBuffer);
            return;
        }
    }
    s.inLength = 0;
}

// The handshake. 0, or a PortOpenError with the words.
int Handshake(Session& s, const char* target, long long deadlineUs, char* problem, size_t room) {
    const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                         ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
    bool first = true;
    bool needInput = false;
    bool heard = false;  // the server has sent something
    for (;;) {
        if (needInput) {
            int n = ReceiveMore(s, OsMsUntil(deadlineUs));
            if (n < 0) {
                std::snprintf(problem, room, heard ? "the server ended the handshake" : "It hung up on our TLS greeting without a word");
                return heard ? OPEN_ERROR_TLS_FAILED : OPEN_ERROR_TLS_NOT_TLS;
            }
            if (n == 0) {
                if (heard) return OPEN_ERROR_NET_TIMED_OUT;
                std::snprintf(problem, room, "Connected, but no TLS answer within 3 s");
                return OPEN_ERROR_TLS_NOT_TLS;
            }
            if (!heard && s.in[0] != 0x16 && s.in[0] != 0x15) {
                std::snprintf(problem, room, "It answered, but not in TLS");
                return OPEN_ERROR_TLS_NOT_TLS;
            }
            heard = true;
        }
        SecBuffer inBuffers[2];
        inBuffers[0].BufferType = SECBUFFER_TOKEN;
        inBuffers[0].pvBuffer = s.in;
        inBuffers[0].cbBuffer = static_cast<unsigned long>(s.inLength);
        inBuffers[1].BufferType = SECBUFFER_EMPTY;
        inBuffers[1].pvBuffer = nullptr;
        inBuffers[1].cbBuffer = 0;
        SecBufferDesc input = {SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffer = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc output = {SECBUFFER_VERSION, 1, &outBuffer};
        unsigned long got = 0;
        SECURITY_STATUS status = InitializeSecurityContextA(
            &s.credentials, first ? nullptr : &s.context, const_cast<char*>(target), wanted, 0, 0,
            first ? nullptr : &input, 0, first ? &s.context : nullptr, &output, &got, nullptr);
        if (first) s.haveContext = status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK;
        first = false;
        if (outBuffer.pvBuffer != nullptr && outBuffer.cbBuffer > 0) {
            int sent = SendAll(s, outBuffer.pvBuffer, outBuffer.cbBuffer, deadlineUs);
            FreeContextBuffer(outBuffer.pvBuffer);
            if (sent != 0) {
                std::snprintf(problem, room, "the server hung up during the handshake");
                return OPEN_ERROR_TLS_FAILED;
            }
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needInput = true;
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            s.asked = 1;  // the server asks for our certificate; we go on without one
            needInput = false;
            continue;
        }
        if (status == SEC_I_CONTINUE_NEEDED) {
            KeepExtra(s, inBuffers, 2);
            needInput = s.inLength == 0;
            continue;
        }
        if (status == SEC_E_OK) {
            KeepExtra(s, inBuffers, 2);  // the first application data, if any came along
            return 0;
        }
        if (s.asked) {
            std::snprintf(problem, room,
                          "the server refused our certificate: it asks for one and this Windows build offers none");
            return OPEN_ERROR_TLS_REFUSED_US;
        }
        std::snprintf(problem, room, "the TLS handshake failed (Schannel: 0x%08lx)", static_cast<unsigned long>(status));
        return OPEN_ERROR_TLS_FAILED;
    }
}

// Decrypts what `in` holds into `plain`. 1 when plain bytes came, 0 when more
// input is needed, -1 when the session ended.
int Decrypt(Session& s) {
    if (s.inLength == 0) return 0;
    SecBuffer buffers[4];
    buffers[0].BufferType = SECBUFFER_DATA;
    buffers[0].pvBuffer = s.in;
    buffers[0].cbBuffer = static_cast<unsigned long>(s.inLength);
    for (int i = 1; i < 4; ++i) {
        buffers[i].BufferType = SECBUFFER_EMPTY;
        buffers[i].pvBuffer = nullptr;
        buffers[i].cbBuffer = 0;
    }
    SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&s.context, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
    if (status != SEC_E_OK) return -1;  // SEC_I_CONTEXT_EXPIRED (close_notify), renegotiation, an error
    int produced = 0;
    for (SecBuffer& b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
            std::memcpy(s.plain, b.pvBuffer, b.cbBuffer);  // a record is never larger than `plain`
            s.plainNext = 0;
            s.plainEnd = static_cast<int>(b.cbBuffer);
            produced = 1;
        }
    }
    KeepExtra(s, buffers, 4);
    return produced;
}

int HandOut(Session& s, unsigned char* data, int size) {
    int n = s.plainEnd - s.plainNext;
    if (n > size) n = size;
    std::memcpy(data, s.plain + s.plainNext, static_cast<size_t>(n));
    s.plainNext += n;
    return n;
}

}  // namespace

int TlsAvailable() { return 1; }

int TlsCheckFiles(const NetAddress& address, char* problem, int size) {
    const size_t room = static_cast<size_t>(size);
    if (size > 0) problem[0] = '\0';
    if (!address.tls) return 0;
    if (address.settings.cert[0] != '\0' || address.settings.key[0] != '\0') {
        std::snprintf(problem, room, "client certificates (cert=, key=) are not supported on Windows yet");
        return -1;
    }
    if (address.settings.ca[0] == '\0') return 0;
    HCERTSTORE store = ReadPemCertificates("ca=", address.settings.ca, problem, room);
    if (store == nullptr) return -1;
    CertCloseStore(store, 0);
    return 0;
}

int TlsStart(NetSocket socket, const NetAddress& address, long long deadlineUs, int* error, char* problem,
             int size) {
    const size_t room = static_cast<size_t>(size);
    problem[0] = '\0';
    if (TlsCheckFiles(address, problem, size) != 0) {
        *error = OPEN_ERROR_TLS_FILES;
        return -1;
    }
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
    s.socket = socket;
    s.haveContext = 0;
    s.haveCredentials = 0;
    s.asked = 0;
    s.inLength = 0;
    s.plainNext = 0;
    s.plainEnd = 0;
    s.ended = 0;
    SCHANNEL_CRED settings;
    std::memset(&settings, 0, sizeof settings);
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry;
    if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &settings,
                                  nullptr, nullptr, &s.credentials, &expiry) != SEC_E_OK) {
        std::snprintf(problem, room, "Schannel (Windows' TLS) could not be set up");
        *error = OPEN_ERROR_TLS_FAILED;
        FreeSession(s);
        return -1;
    }
    s.haveCredentials = 1;
    const char* checked = address.settings.name[0] != '\0' ? address.settings.name : address.host;
    int result = Handshake(s, checked, deadlineUs, problem, room);
    if (result == 0) result = Verify(s, address, problem, room);
    if (result == 0 && QueryContextAttributesA(&s.context, SECPKG_ATTR_STREAM_SIZES, &s.sizes) != SEC_E_OK) {
        std::snprintf(problem, room, "Schannel gave no record sizes");
        result = OPEN_ERROR_TLS_FAILED;
    }
    if (result != 0) {
        *error = result;
        FreeSession(s);
        return -1;
    }
    // Application data that came with the handshake's last message.
    if (s.inLength > 0 && Decrypt(s) < 0) s.ended = 1;
    *error = OPEN_ERROR_NONE;
    return slot;
}

int TlsSend(int session, const unsigned char* data, int length, long long deadlineUs) {
    Session* s = SessionOf(session);
    if (s == nullptr) return -1;
    int done = 0;
    while (done < length) {
        int n = length - done;
        int most = static_cast<int>(s->sizes.cbMaximumMessage);
        int room = static_cast<int>(sizeof s->out) - static_cast<int>(s->sizes.cbHeader + s->sizes.cbTrailer);
        if (n > most) n = most;
        if (n > room) n = room;
        unsigned long total = 0;
        {
            FlagLock lock(s->lock);
            std::memcpy(s->out + s->sizes.cbHeader, data + done, static_cast<size_t>(n));
            SecBuffer buffers[4];
            buffers[0] = {s->sizes.cbHeader, SECBUFFER_STREAM_HEADER, s->out};
            buffers[1] = {static_cast<unsigned long>(n), SECBUFFER_DATA, s->out + s->sizes.cbHeader};
            buffers[2] = {s->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, s->out + s->sizes.cbHeader + n};
            buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
            SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
            if (EncryptMessage(&s->context, 0, &message, 0) != SEC_E_OK) return -1;
            total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
            // Sent under the lock: `out` is the session's one buffer. The socket
            // send does not wait on the receive side.
            if (SendAll(*s, s->out, total, deadlineUs) != 0) return -1;
        }
        done += n;
    }
    return 0;
}

int TlsReceive(int session, unsigned char* data, int size, int waitMs) {
    Session* s = SessionOf(session);
    if (s == nullptr) return -1;
    long long endUs = OsMonotonicUs() + (waitMs > 0 ? waitMs : 0) * 1000LL;
    for (;;) {
        {
            FlagLock lock(s->lock);
            if (s->plainNext < s->plainEnd) return HandOut(*s, data, size);
            if (s->ended) return -1;
            int got = Decrypt(*s);
            if (got > 0) return HandOut(*s, data, size);
            if (got < 0) {
                s->ended = 1;
                return -1;
            }
        }
        long long leftUs = endUs - OsMonotonicUs();
        int n = ReceiveMore(*s, leftUs > 0 ? static_cast<int>((leftUs + 999) / 1000) : 0);
        if (n < 0) {
            s->ended = 1;
            return -1;
        }
        if (n == 0 && OsMonotonicUs() >= endUs) return 0;
    }
}

int TlsBuffered(int session) {
    Session* s = SessionOf(session);
    if (s == nullptr) return 0;
    FlagLock lock(s->lock);
    return s->plainNext < s->plainEnd || s->inLength >= 5 ? 1 : 0;
}

int TlsServerAskedForCertificate(int session) {
    Session* s = SessionOf(session);
    if (s == nullptr) return 0;
    // Windows says so (SEC_I_INCOMPLETE_CREDENTIALS); Wine answers with no
    // certificate by itself, so no word of it is no proof the server did not ask.
    return s->asked ? 1 : -1;
}

void TlsEnd(int session) {
    Session* s = SessionOf(session);
    if (s == nullptr) return;
    {
        FlagLock lock(s->lock);
        DWORD kind = SCHANNEL_SHUTDOWN;
        SecBuffer shutdown = {sizeof kind, SECBUFFER_TOKEN, &kind};
        SecBufferDesc token = {SECBUFFER_VERSION, 1, &shutdown};
        if (ApplyControlToken(&s->context, &token) == SEC_E_OK) {
            SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc output = {SECBUFFER_VERSION, 1, &out};
            unsigned long got = 0;
            TimeStamp expiry;
            const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                 ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
            if (InitializeSecurityContextA(&s->credentials, &s->context, nullptr, wanted, 0, 0, nullptr, 0, nullptr,
                                           &output, &got, &expiry) == SEC_E_OK &&
                out.pvBuffer != nullptr) {
                (void)SendAll(*s, out.pvBuffer, out.cbBuffer, OsMonotonicUs() + 100000);  // one try, 0.1 s at most
            }
            if (out.pvBuffer != nullptr) FreeContextBuffer(out.pvBuffer);
        }
    }
    FreeSession(*s);
}
