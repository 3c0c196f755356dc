// Basic-auth passwords against bcrypt hashes: libcrypt does the hashing, a
// bounded cache spares repeated logins the cost, and a gate keeps a flood of
// wrong passwords from taking every core.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

namespace sanperf_exporter::security {

// True for "$2a$", "$2b$" or "$2y$", a two-digit cost from 04 to 31 and 53
// characters of salt and hash in bcrypt's alphabet.
bool is_bcrypt_hash(std::string_view hash);

// bcrypt only reads this many bytes of a password; longer ones are refused
// rather than silently cut.
constexpr std::size_t bcrypt_max_password = 72;

// A new "$2b$" hash of password at the given cost; throws std::runtime_error
// when libcrypt cannot make one.
std::string bcrypt_hash(std::string_view password, int cost);

// At most `limit` holders at once; others wait up to a timeout.
class concurrency_gate {
public:
    explicit concurrency_gate(unsigned limit) : limit_(limit == 0 ? 1 : limit) {}
    bool enter(std::chrono::milliseconds timeout);
    void leave();

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    unsigned limit_;
    unsigned inside_ = 0;
};

enum class login { granted, denied, busy };

// The users of one configuration file. Thread-safe.
class password_checker {
public:
    // users: name -> bcrypt hash, already checked with is_bcrypt_hash; gate
    // is shared by every checker of the process; a check waits at most wait
    // for it.
    password_checker(std::map<std::string, std::string> users, std::shared_ptr<concurrency_gate> gate,
                     std::size_t cache_capacity = 1024,
                     std::chrono::milliseconds wait = std::chrono::seconds(2));

    // granted when user exists and password matches its hash; busy when no
    // bcrypt slot came free in time. Unknown users cost a bcrypt at the
    // file's highest cost all the same, so timing does not reveal them.
    login check(std::string_view user, std::string_view password);

    bool empty() const { return users_.empty(); }

private:
    std::string cache_key(std::string_view user, std::string_view password, const std::string& hash) const;
    bool cached(const std::string& key);
    void remember(std::string key);

    std::map<std::string, std::string, std::less<>> users_;
    std::string unknown_user_hash_;
    std::shared_ptr<concurrency_gate> gate_;
    std::chrono::milliseconds wait_;

    std::mutex cache_mutex_;
    std::size_t cache_capacity_;
    std::unordered_set<std::string> cache_;
    std::deque<std::string> cache_order_;  // oldest first, for eviction
};

}  // namespace sanperf_exporter::security
