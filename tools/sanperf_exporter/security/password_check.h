// Basic-auth passwords against bcrypt hashes: libcrypt does the hashing, and a
// bounded cache spares repeated logins the cost.
#pragma once

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

// Logins that succeeded, so a user's next requests skip bcrypt. An entry is
// a digest of user, password and hash, so a changed hash never matches an
// old entry and one cache can serve every configuration that reloads bring.
// The oldest entry goes first once capacity is reached. Thread-safe.
class login_cache {
public:
    explicit login_cache(std::size_t capacity = 1024) : capacity_(capacity) {}
    bool contains(const std::string& key);
    void remember(std::string key);

private:
    std::mutex mutex_;
    std::size_t capacity_;
    std::unordered_set<std::string> keys_;
    std::deque<std::string> order_;  // oldest first, for eviction
};

enum class login { granted, denied, needs_hash };

// The users of one configuration file. Thread-safe.
class password_checker {
public:
    // users: name -> bcrypt hash, already checked with is_bcrypt_hash.
    password_checker(std::map<std::string, std::string> users, std::shared_ptr<login_cache> cache);

    // Without bcrypt: granted for a cached login, denied for a password
    // bcrypt could never match (too long, or holding NUL), else needs_hash.
    login check_cached(std::string_view user, std::string_view password);

    // With bcrypt: whether user exists and password matches its hash; a
    // match is remembered. Every call hashes the password once at each cost
    // the file uses, against the user's hash at its own cost and a dummy at
    // the others, so the time is the same for every user, known or not.
    bool check_hashed(std::string_view user, std::string_view password);

    bool empty() const { return users_.empty(); }

private:
    const std::string& hash_of(std::string_view user) const;
    std::string cache_key(std::string_view user, std::string_view password) const;

    std::map<std::string, std::string, std::less<>> users_;
    std::map<int, std::string> dummy_by_cost_;  // a bcrypt setting for every cost in the file
    std::shared_ptr<login_cache> cache_;
};

}  // namespace sanperf_exporter::security
