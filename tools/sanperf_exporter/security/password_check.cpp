#include "sanperf_exporter/security/password_check.h"

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
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '/';
}

int cost_of(std::string_view hash) { return (hash[4] - '0') * 10 + (hash[5] - '0'); }

// Equal strings, in a time that depends on their lengths only.
bool equal_in_constant_time(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff = diff | static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// A "$2b$" setting at cost with a fresh salt.
std::string bcrypt_setting(int cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, setting,
                         sizeof setting) == nullptr) {
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

// Whether bcrypt reads all of password: no more than it reads, and no NUL.
bool bcrypt_takes(std::string_view password) {
    return password.size() <= bcrypt_max_password && password.find('\0') == std::string_view::npos;
}

void append_sized(std::string& out, std::string_view part) {
    std::uint64_t size = part.size();
    out.append(reinterpret_cast<const char*>(&size), sizeof size);
    out.append(part);
}

}  // namespace

bool is_bcrypt_hash(std::string_view hash) {
    if (hash.size() != 60 || hash.substr(0, 2) != "$2" || hash[3] != '$' || hash[6] != '$')
        return false;
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

bool login_cache::contains(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.count(key) != 0;
}

void login_cache::remember(std::string key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (capacity_ == 0 || !keys_.insert(key).second) return;
    order_.push_back(std::move(key));
    if (order_.size() > capacity_) {
        keys_.erase(order_.front());
        order_.pop_front();
    }
}

password_checker::password_checker(std::map<std::string, std::string> users,
                                   std::shared_ptr<login_cache> cache)
    : users_(users.begin(), users.end()), cache_(std::move(cache)) {
    // Only the salt and cost of a dummy matter: it never matches, the
    // computation is there for its time.
    for (const auto& [name, hash] : users_) {
        int cost = cost_of(hash);
        if (dummy_by_cost_.count(cost) == 0) dummy_by_cost_.emplace(cost, bcrypt_setting(cost));
    }
    if (dummy_by_cost_.empty()) dummy_by_cost_.emplace(4, bcrypt_setting(4));
}

const std::string& password_checker::hash_of(std::string_view user) const {
    auto it = users_.find(user);
    return it != users_.end() ? it->second : dummy_by_cost_.begin()->second;
}

std::string password_checker::cache_key(std::string_view user, std::string_view password) const {
    // Each part is preceded by its length, so no two triples share a key.
    std::string material;
    append_sized(material, user);
    append_sized(material, password);
    append_sized(material, hash_of(user));
    std::string digest(32, '\0');
    int rc = gnutls_hash_fast(GNUTLS_DIG_SHA256, material.data(), material.size(), digest.data());
    explicit_bzero(material.data(), material.size());
    if (rc < 0) throw std::runtime_error("cannot hash a cache key");
    return digest;
}

login password_checker::check_cached(std::string_view user, std::string_view password) {
    if (!bcrypt_takes(password)) return login::denied;
    // The key is made for unknown users too, so the lookup costs them the same.
    std::string key = cache_key(user, password);
    return users_.count(user) != 0 && cache_->contains(key) ? login::granted : login::needs_hash;
}

bool password_checker::check_hashed(std::string_view user, std::string_view password) {
    if (!bcrypt_takes(password)) return false;
    auto it = users_.find(user);
    const bool known = it != users_.end();
    const int own_cost = known ? cost_of(it->second) : -1;
    bool match = false;
    for (const auto& [cost, dummy] : dummy_by_cost_) {
        const bool own = cost == own_cost;
        const bool matched = bcrypt_matches(password, own ? it->second : dummy);
        if (own) match = matched;
    }
    if (match) cache_->remember(cache_key(user, password));
    return match;
}

}  // namespace sanperf_exporter::security
