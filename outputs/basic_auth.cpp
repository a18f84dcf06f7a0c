#include "outputs/basic_auth.h"

#include <crypt.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace {

// The longest Authorization value looked at: bcrypt reads 72 bytes of a password,
// and nothing longer is worth decoding.
const size_t MAX_AUTHORIZATION = 1024;

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard base64 with its padding; false on anything else.
bool FromBase64(const std::string& text, std::string& out) {
    if (text.empty() || text.size() % 4 != 0) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++pad;
            } else if (pad > 0 || (v[k] = Base64Value(c)) < 0) {
                return false;
            }
        }
        const unsigned bits = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out += static_cast<char>(bits >> 16);
        if (pad < 2) out += static_cast<char>((bits >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(bits & 0xFF);
    }
    return true;
}

// Whether crypt_r makes `hash` of `password`, compared in constant time.
bool CryptMatches(const std::string& password, const std::string& hash) {
    std::unique_ptr<crypt_data> data(new crypt_data());
    const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (out == nullptr || out[0] == '*' || std::strlen(out) != hash.size()) return false;
    return CRYPTO_memcmp(out, hash.data(), hash.size()) == 0;
}

}  // namespace

BasicAuth::BasicAuth(const std::vector<std::pair<std::string, std::string>>& users) {
    for (const auto& [name, hash] : users) {
        User user;
        user.name = name;
        user.hash = hash;
        users_.push_back(user);
    }
    if (users_.empty()) return;
    if (RAND_bytes(key_.data(), static_cast<int>(key_.size())) != 1) {
        // No randomness: a key from the clock still keeps digests of one run apart.
        const auto now = reinterpret_cast<uintptr_t>(&key_) ^ static_cast<uintptr_t>(time(nullptr));
        std::memcpy(key_.data(), &now, sizeof now);
    }
    // The decoy costs what the first user's hash costs: "$2b$" and its cost.
    const std::string& model = users_.front().hash;
    const size_t costAt = model.find('$', 1) + 1;
    const int cost = std::atoi(model.c_str() + costAt);
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    unsigned char random[16];
    RAND_bytes(random, sizeof random);
    if (crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), reinterpret_cast<const char*>(random),
                         sizeof random, setting, sizeof setting) != nullptr) {
        std::unique_ptr<crypt_data> data(new crypt_data());
        const char* out = crypt_r("no one's password", setting, data.get());
        if (out != nullptr && out[0] != '*') decoyHash_ = out;
    }
    if (decoyHash_.empty()) decoyHash_ = model;  // wrong for every password but the model's own
    worker_ = std::thread([this] { Work(); });
}

BasicAuth::~BasicAuth() {
    {
        std::lock_guard<std::mutex> lock(jobsMutex_);
        stopping_ = true;
    }
    jobsChanged_.notify_all();
    if (worker_.joinable()) worker_.join();
}

bool BasicAuth::Decode(const std::string& authorization, std::string& user, std::string& password) {
    if (authorization.size() > MAX_AUTHORIZATION || authorization.size() < 6) return false;
    // The scheme's name is case-insensitive; one or more spaces follow it.
    if (strncasecmp(authorization.c_str(), "Basic ", 6) != 0) return false;
    size_t start = authorization.find_first_not_of(' ', 6);
    if (start == std::string::npos) return false;
    size_t end = authorization.find_last_not_of(' ') + 1;
    std::string plain;
    if (!FromBase64(authorization.substr(start, end - start), plain)) return false;
    const size_t colon = plain.find(':');
    if (colon == std::string::npos) return false;
    user = plain.substr(0, colon);
    password = plain.substr(colon + 1);
    return true;
}

BasicAuth::Digest BasicAuth::DigestOf(const std::string& user, const std::string& password) const {
    Digest digest{};
    std::string text = user;
    text += '\0';
    text += password;
    unsigned int size = 0;
    HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), digest.data(), &size);
    OPENSSL_cleanse(text.data(), text.size());
    return digest;
}

bool BasicAuth::Allows(const std::string& authorization) {
    if (users_.empty()) return true;
    std::string name, password;
    if (!Decode(authorization, name, password)) return false;
    User* user = nullptr;
    for (User& u : users_) {
        if (u.name == name) user = &u;
    }
    const Digest digest = DigestOf(name, password);
    if (user != nullptr) {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        if (user->verified && CRYPTO_memcmp(user->digest.data(), digest.data(), digest.size()) == 0) {
            OPENSSL_cleanse(password.data(), password.size());
            return true;
        }
    }
    const bool match = Bcrypt(password, user != nullptr ? user->hash : decoyHash_);
    OPENSSL_cleanse(password.data(), password.size());
    if (user == nullptr || !match) return false;
    std::lock_guard<std::mutex> lock(cacheMutex_);
    user->verified = true;
    user->digest = digest;
    return true;
}

bool BasicAuth::Bcrypt(const std::string& password, const std::string& hash) {
    Job job{&password, &hash};
    std::unique_lock<std::mutex> lock(jobsMutex_);
    if (stopping_) return false;
    jobs_.push_back(&job);
    jobsChanged_.notify_all();
    jobsChanged_.wait(lock, [&] { return job.done; });
    return job.match;
}

void BasicAuth::Work() {
    // Below everything else in the process: the tap's threads come first.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    std::unique_lock<std::mutex> lock(jobsMutex_);
    for (;;) {
        jobsChanged_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, and no one waits
        Job* job = jobs_.front();
        jobs_.pop_front();
        lock.unlock();
        const bool match = CryptMatches(*job->password, *job->hash);
        runs_++;
        lock.lock();
        job->match = match;
        job->done = true;
        jobsChanged_.notify_all();
    }
}
