// HTTP basic authentication for the metrics endpoint: users with bcrypt hashes
// (from --web-config), checked with libxcrypt's crypt_r.
//
// bcrypt is slow on purpose (about 50 ms at cost 10), so a password once found
// right is remembered, as a keyed digest, and the next scrape with it costs a
// digest and a comparison; a wrong one is never remembered. Every bcrypt run
// happens on one thread of its own at the lowest priority: a flood of wrong
// passwords takes at most that thread's share of one core, after the tap's.
// A user that does not exist costs a bcrypt run all the same, so timing does not
// tell which names exist.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class BasicAuth {
public:
    // `users`: name, bcrypt hash (checked by LoadWebConfig). No users: every
    // request is let in.
    explicit BasicAuth(const std::vector<std::pair<std::string, std::string>>& users);
    ~BasicAuth();
    BasicAuth(const BasicAuth&) = delete;
    BasicAuth& operator=(const BasicAuth&) = delete;

    bool Enabled() const { return !users_.empty(); }
    // Whether a request with this Authorization header value ("" when there was
    // none) is let in.
    bool Allows(const std::string& authorization);
    // bcrypt runs so far (a check the remembered digest answered is not one).
    long BcryptRuns() const { return runs_.load(); }

    // "Basic BASE64" -> user and password; false when the value is not that.
    static bool Decode(const std::string& authorization, std::string& user, std::string& password);

private:
    using Digest = std::array<unsigned char, 32>;
    struct User {
        std::string name;
        std::string hash;
        bool verified = false;  // `digest` is of a password found right
        Digest digest{};
    };
    struct Job {
        const std::string* password;
        const std::string* hash;
        bool done = false;
        bool match = false;
    };

    Digest DigestOf(const std::string& user, const std::string& password) const;
    // Runs bcrypt on the worker; whether `password` gives `hash`.
    bool Bcrypt(const std::string& password, const std::string& hash);
    void Work();

    std::vector<User> users_;
    std::string decoyHash_;  // checked against for names that do not exist
    std::array<unsigned char, 32> key_{};
    std::mutex cacheMutex_;
    std::atomic<long> runs_{0};

    std::mutex jobsMutex_;
    std::condition_variable jobsChanged_;
    std::deque<Job*> jobs_;
    bool stopping_ = false;
    std::thread worker_;
};
