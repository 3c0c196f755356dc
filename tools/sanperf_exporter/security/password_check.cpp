#include "password_check.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace sanperf_exporter::security {
namespace {

bool is_bcrypt_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '/';
}

int cost_of(std::string_view hash) { return (hash[4] - '0') * 10 + (hash[5] - '0'); }

// Equal strings, in a time that depends on their lengths only.
bool equal_in_constant_time(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff = diff | static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// A "$2b$" setting at cost with a fresh salt.
std::string bcrypt_setting(int cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, setting, sizeof setting) ==
        nullptr) {
        throw std::runtime_error("libcrypt cannot make a bcrypt salt");
    }
    return setting;
}

// password hashed with setting (a bare setting or a whole hash), or empty
// when libcrypt refuses. A crypt_data of its own per call keeps concurrent
// checks apart; it and the copy of the password are wiped after.
std::string crypt_password(std::string_view password, const std::string& setting) {
    std::string phrase(password);
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_rn(phrase.c_str(), setting.c_str(), data.get(), sizeof *data);
    std::string hash = out != nullptr && out[0] != '*' ? out : "";
    explicit_bzero(data.get(), sizeof *data);
    explicit_bzero(phrase.data(), phrase.size());
    return hash;
}

// Whether password hashes to hash.
bool bcrypt_matches(std::string_view password, const std::string& hash) {
    return equal_in_constant_time(crypt_password(password, hash), hash);
}

void append_sized(std::string& out, std::string_view part) {
    std::uint64_t size = part.size();
    out.append(reinterpret_cast<const char*>(&size), sizeof size);
    out.append(part);
}

}  // namespace

bool is_bcrypt_hash(std::string_view hash) {
    if (hash.size() != 60 || hash.substr(0, 2) != "$2" || hash[3] != '$' || hash[6] != '$') return false;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
    if (hash[4] < '0' || hash[4] > '3' || hash[5] < '0' || hash[5] > '9') return false;
    int cost = cost_of(hash);
    if (cost < 4 || cost > 31) return false;
    return std::all_of(hash.begin() + 7, hash.end(), is_bcrypt_char);
}

std::string bcrypt_hash(std::string_view password, int cost) {
    std::string hash = crypt_password(password, bcrypt_setting(cost));
    if (!is_bcrypt_hash(hash)) throw std::runtime_error("libcrypt cannot make a bcrypt hash");
    return hash;
}

bool concurrency_gate::enter(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!freed_.wait_for(lock, timeout, [this] { return inside_ < limit_; })) return false;
    ++inside_;
    return true;
}

void concurrency_gate::leave() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --inside_;
    }
    freed_.notify_one();
}

password_checker::password_checker(std::map<std::string, std::string> users,
                                   std::shared_ptr<concurrency_gate> gate, std::size_t cache_capacity,
                                   std::chrono::milliseconds wait)
    : users_(users.begin(), users.end()), gate_(std::move(gate)), wait_(wait), cache_capacity_(cache_capacity) {
    int cost = 4;
    for (const auto& [name, hash] : users_) cost = std::max(cost, cost_of(hash));
    // Only the salt and cost matter: an unknown user is refused whatever the
    // computed hash, the computation is there for its time.
    unknown_user_hash_ = bcrypt_setting(cost);
}

std::string password_checker::cache_key(std::string_view user, std::string_view password,
                                        const std::string& hash) const {
    // Each part is preceded by its length, so no two triples share a key.
    std::string material;
    append_sized(material, user);
    append_sized(material, password);
    append_sized(material, hash);
    std::string digest(32, '\0');
    int rc = gnutls_hash_fast(GNUTLS_DIG_SHA256, material.data(), material.size(), digest.data());
    explicit_bzero(material.data(), material.size());
    if (rc < 0) throw std::runtime_error("cannot hash a cache key");
    return digest;
}

bool password_checker::cached(const std::string& key) {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    return cache_.count(key) != 0;
}

void password_checker::remember(std::string key) {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    if (cache_capacity_ == 0 || !cache_.insert(key).second) return;
    cache_order_.push_back(std::move(key));
    if (cache_order_.size() > cache_capacity_) {
        cache_.erase(cache_order_.front());
        cache_order_.pop_front();
    }
}

login password_checker::check(std::string_view user, std::string_view password) {
    if (password.size() > bcrypt_max_password || password.find('\0') != std::string_view::npos) {
        return login::denied;
    }
    auto it = users_.find(user);
    bool known = it != users_.end();
    const std::string& hash = known ? it->second : unknown_user_hash_;
    std::string key = cache_key(user, password, hash);
    if (known && cached(key)) return login::granted;

    if (!gate_->enter(wait_)) return login::busy;
    bool match = bcrypt_matches(password, hash);
    gate_->leave();

    if (!known || !match) return login::denied;
    remember(std::move(key));
    return login::granted;
}

}  // namespace sanperf_exporter::security
