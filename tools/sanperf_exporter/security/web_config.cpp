#include "sanperf_exporter/security/web_config.h"

#include "sanperf_exporter/security/password_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <sstream>

#include "common/path.h"

namespace sanperf_exporter::security {
namespace {

constexpr std::size_t max_file_size = 1 << 20;

// The headers an operator may add, with the values each accepts (empty: any).
struct header_rule {
    const char* name;
    std::vector<std::string> values;
};

const std::vector<header_rule>& header_rules() {
    static const std::vector<header_rule> rules{
        {"Content-Security-Policy", {}},         {"X-Frame-Options", {"deny", "sameorigin"}},
        {"X-Content-Type-Options", {"nosniff"}}, {"X-XSS-Protection", {}},
        {"Strict-Transport-Security", {}},
    };
    return rules;
}

// Reads one file's text, or throws config_error naming it. Only a regular
// file is read, opened without blocking: a FIFO or a device named by
// mistake (or malice) would otherwise leave the reading thread waiting.
std::string read_whole_file(const std::string& config, const std::string& what,
                            const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        throw config_error(config + ": cannot read " + what + " " + path + ": " +
                           std::strerror(errno));
    }
    struct closer {
        int fd;
        ~closer() { close(fd); }
    } closing{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        throw config_error(config + ": cannot read " + what + " " + path + ": " +
                           std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        throw config_error(config + ": " + what + " " + path + " is not a regular file");
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            throw config_error(config + ": cannot read " + what + " " + path + ": " +
                               std::strerror(errno));
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > max_file_size) {
            throw config_error(config + ": " + what + " " + path + " is larger than 1 MiB");
        }
    }
    return text;
}

// Whether text is UTF-8 made of characters YAML allows in a file (tab, line
// ends and printable characters). The YAML library loops on some invalid
// input, so it only ever sees text that passes.
bool is_printable_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        std::uint32_t code = 0;
        int extra = 0;
        if (c < 0x80) {
            code = c;
        } else if (c >= 0xc2 && c <= 0xdf) {
            code = c & 0x1f, extra = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            code = c & 0x0f, extra = 2;
        } else if (c >= 0xf0 && c <= 0xf4) {
            code = c & 0x07, extra = 3;
        } else {
            return false;
        }
        if (end - p <= extra) return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xc0) != 0x80) return false;
            code = code << 6 | (p[i] & 0x3f);
        }
        static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[extra] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        bool printable = code == 0x9 || code == 0xa || code == 0xd ||
                         (code >= 0x20 && code <= 0x7e) || code == 0x85 ||
                         (code >= 0xa0 && code != 0xfffe && code != 0xffff);
        if (!printable) return false;
        p += extra + 1;
    }
    return true;
}

bool ieq(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Walks the YAML tree by the schema; every check throws config_error with
// the file name, the key's place and its line.
class reader {
public:
    explicit reader(const std::string& path) : path_(path), dir_(sanperf_tools::dir_of(path)) {}

    [[noreturn]] void fail(const YAML::Node& at, const std::string& problem) const {
        std::string where =
            at.Mark().is_null() ? "" : "line " + std::to_string(at.Mark().line + 1) + ": ";
        throw config_error(path_ + ": " + where + problem);
    }
    [[noreturn]] void fail(const std::string& problem) const {
        throw config_error(path_ + ": " + problem);
    }

    // The keys of a mapping, refusing duplicates and keys outside allowed
    // (the toolkit's own keys this program does not support are named as such).
    std::map<std::string, YAML::Node> fields(const YAML::Node& map, const std::string& where,
                                             const std::set<std::string>& allowed,
                                             const std::set<std::string>& unsupported = {}) const {
        if (!map.IsMap())
            fail(map, (where.empty() ? "the top level" : where) + " must be a mapping");
        std::map<std::string, YAML::Node> out;
        for (const auto& entry : map) {
            const YAML::Node& key = entry.first;
            if (!key.IsScalar()) fail(key, where + " has a key that is not a string");
            const std::string& name = key.Scalar();
            std::string place = where.empty() ? name : where + "." + name;
            if (unsupported.count(name) != 0)
                fail(key, place + " is not supported by sanperf_exporter");
            if (!allowed.empty() && allowed.count(name) == 0) fail(key, "unknown key " + place);
            if (!out.emplace(name, entry.second).second) fail(key, "duplicate key " + place);
        }
        return out;
    }

    std::string string(const YAML::Node& value, const std::string& place) const {
        if (!value.IsScalar()) fail(value, place + " must be a string");
        return value.Scalar();
    }

    std::string non_empty_string(const YAML::Node& value, const std::string& place) const {
        std::string s = string(value, place);
        if (s.empty()) fail(value, place + " is empty");
        return s;
    }

    bool boolean(const YAML::Node& value, const std::string& place) const {
        if (value.IsScalar()) {
            const std::string& s = value.Scalar();
            if (s == "true" || s == "True" || s == "TRUE") return true;
            if (s == "false" || s == "False" || s == "FALSE") return false;
        }
        fail(value, place + " must be true or false");
    }

    std::vector<std::string> strings(const YAML::Node& value, const std::string& place) const {
        std::vector<std::string> out;
        if (value.IsNull()) return out;
        if (!value.IsSequence()) fail(value, place + " must be a list of strings");
        for (const auto& item : value) out.push_back(non_empty_string(item, place + " item"));
        return out;
    }

    tls_version version(const YAML::Node& value, const std::string& place) const {
        std::string s = string(value, place);
        if (s == "TLS10") return tls_version::tls10;
        if (s == "TLS11") return tls_version::tls11;
        if (s == "TLS12") return tls_version::tls12;
        if (s == "TLS13") return tls_version::tls13;
        fail(value,
             place + ": unknown TLS version \"" + s + "\" (known: TLS10, TLS11, TLS12, TLS13)");
    }

    std::string resolve(const std::string& file) const {
        return file.front() == '/' ? file : dir_ + "/" + file;
    }

    // PEM text given inline under inline_key or in a file under file_key.
    std::optional<std::string> pem(std::map<std::string, YAML::Node>& f, const char* inline_key,
                                   const char* file_key) const {
        auto in = f.find(inline_key), file = f.find(file_key);
        std::string place = std::string("tls_server_config.");
        if (in != f.end() && file != f.end()) {
            fail(file->second, place + file_key + " and " + place + inline_key + " are both set");
        }
        if (in != f.end()) return non_empty_string(in->second, place + inline_key);
        if (file != f.end()) {
            return read_whole_file(path_, file_key,
                                   resolve(non_empty_string(file->second, place + file_key)));
        }
        return std::nullopt;
    }

    tls_settings tls(const YAML::Node& node) const {
        const std::string where = "tls_server_config";
        auto f = fields(node, where,
                        {"cert", "key", "client_ca", "cert_file", "key_file", "client_auth_type",
                         "client_ca_file", "min_version", "max_version", "cipher_suites",
                         "prefer_server_cipher_suites", "curve_preferences"},
                        {"client_allowed_sans"});
        tls_settings out;
        std::optional<std::string> cert = pem(f, "cert", "cert_file");
        std::optional<std::string> key = pem(f, "key", "key_file");
        if (!cert) fail(node, where + " needs cert_file");
        if (!key) fail(node, where + " needs key_file");
        try {
            out.identity = std::make_shared<server_identity>(*cert, *key);
        } catch (const tls_error& e) {
            fail(node, std::string("server certificate and key: ") + e.what());
        }

        if (auto it = f.find("client_auth_type"); it != f.end()) {
            std::string type = string(it->second, where + ".client_auth_type");
            if (type == "RequireAndVerifyClientCert") {
                out.client_auth = client_auth_policy::require_and_verify;
            } else if (type == "RequestClientCert" || type == "RequireAnyClientCert" ||
                       type == "VerifyClientCertIfGiven") {
                fail(it->second, where + ".client_auth_type " + type +
                                     " is not supported: it would let unverified clients in; use "
                                     "RequireAndVerifyClientCert");
            } else if (type != "NoClientCert") {
                fail(it->second, where + ".client_auth_type: unknown value \"" + type + "\"");
            }
        }
        std::optional<std::string> ca = pem(f, "client_ca", "client_ca_file");
        bool verify = out.client_auth == client_auth_policy::require_and_verify;
        if (ca && !verify) {
            fail(node, where +
                           ".client_ca_file is set but client_auth_type is not "
                           "RequireAndVerifyClientCert");
        }
        if (!ca && verify)
            fail(node, where + ".client_auth_type RequireAndVerifyClientCert needs client_ca_file");
        if (ca) {
            try {
                out.client_cas = std::make_shared<client_ca>(*ca);
            } catch (const tls_error& e) {
                fail(node, std::string("client CA: ") + e.what());
            }
        }

        tls_parameters p;
        if (auto it = f.find("min_version"); it != f.end())
            p.min_version = version(it->second, where + ".min_version");
        if (auto it = f.find("max_version"); it != f.end())
            p.max_version = version(it->second, where + ".max_version");
        if (auto it = f.find("cipher_suites"); it != f.end())
            p.cipher_suites = strings(it->second, where + ".cipher_suites");
        if (auto it = f.find("curve_preferences"); it != f.end()) {
            p.curve_preferences = strings(it->second, where + ".curve_preferences");
        }
        if (auto it = f.find("prefer_server_cipher_suites"); it != f.end()) {
            p.prefer_server_cipher_suites =
                boolean(it->second, where + ".prefer_server_cipher_suites");
        }
        try {
            out.priority = tls_priority(p);
        } catch (const tls_error& e) {
            fail(node, where + ": " + e.what());
        }
        return out;
    }

    std::vector<std::pair<std::string, std::string>> http(const YAML::Node& node) const {
        std::vector<std::pair<std::string, std::string>> out;
        if (node.IsNull()) return out;
        auto f = fields(node, "http_server_config", {"http2", "headers"});
        // HTTP/2 is accepted either way; this server speaks HTTP/1.1.
        if (auto it = f.find("http2"); it != f.end())
            boolean(it->second, "http_server_config.http2");
        auto it = f.find("headers");
        if (it == f.end() || it->second.IsNull()) return out;

        std::set<std::string> allowed;
        for (const auto& rule : header_rules()) allowed.insert(rule.name);
        auto headers = fields(it->second, "http_server_config.headers", allowed);
        for (const auto& rule : header_rules()) {
            auto h = headers.find(rule.name);
            if (h == headers.end() || h->second.IsNull()) continue;
            std::string place = std::string("http_server_config.headers.") + rule.name;
            std::string value = string(h->second, place);
            if (value.empty()) continue;  // blank means unset
            bool control = std::any_of(value.begin(), value.end(), [](char c) {
                return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
            });
            if (control) fail(h->second, place + " holds a control character");
            if (!rule.values.empty() &&
                std::none_of(rule.values.begin(), rule.values.end(),
                             [&](const std::string& v) { return ieq(v, value); })) {
                std::string known;
                for (const auto& v : rule.values) known += (known.empty() ? "" : ", ") + v;
                fail(h->second, place + ": \"" + value + "\" is not one of " + known);
            }
            out.emplace_back(rule.name, value);
        }
        return out;
    }

    std::map<std::string, std::string> users(const YAML::Node& node) const {
        std::map<std::string, std::string> out;
        if (node.IsNull()) return out;
        for (const auto& [name, value] : fields(node, "basic_auth_users", {})) {
            std::string place = "basic_auth_users." + name;
            if (name.empty()) fail(value, "basic_auth_users has an empty user name");
            if (name.find(':') != std::string::npos) {
                fail(value, place + ": a user name with a colon cannot log in with basic auth");
            }
            std::string hash = string(value, place);
            if (!is_bcrypt_hash(hash))
                fail(value, place + " is not a bcrypt hash ($2a$, $2b$ or $2y$)");
            out.emplace(name, hash);
        }
        return out;
    }

private:
    std::string path_;
    std::string dir_;
};

// Events of a document, ignored: only their number matters.
class ignore_events : public YAML::EventHandler {
public:
    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
    void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
    void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  const std::string&) override {}
    void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                         YAML::EmitterStyle::value) override {}
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                    YAML::EmitterStyle::value) override {}
    void OnMapEnd() override {}
};

// How many documents text holds, counting no further than two. (The YAML
// library's own load-everything call never returns on some malformed input,
// such as a stray comma at the top level.)
int document_count(std::string_view text) {
    std::istringstream in{std::string(text)};
    YAML::Parser parser(in);
    ignore_events events;
    int count = 0;
    while (count < 2 && parser.HandleNextDocument(events)) ++count;
    return count;
}

}  // namespace

web_config parse_web_config(std::string_view text, const std::string& path) {
    reader r(path);
    if (text.size() > max_file_size) r.fail("is larger than 1 MiB");
    if (!is_printable_utf8(text)) r.fail("is not UTF-8 text (or holds control characters)");
    YAML::Node root;
    try {
        if (document_count(text) > 1)
            r.fail("holds more than one YAML document, or stray text after the first");
        root = YAML::Load(std::string(text));
    } catch (const YAML::Exception& e) {
        std::string where =
            e.mark.is_null() ? "" : "line " + std::to_string(e.mark.line + 1) + ": ";
        r.fail("malformed YAML: " + where + e.msg);
    }
    if (root.IsNull()) r.fail("is empty");

    web_config config;
    config.path = path;
    auto f = r.fields(root, "", {"tls_server_config", "http_server_config", "basic_auth_users"},
                      {"rate_limit"});
    if (auto it = f.find("tls_server_config"); it != f.end()) config.tls = r.tls(it->second);
    if (auto it = f.find("http_server_config"); it != f.end()) config.headers = r.http(it->second);
    if (auto it = f.find("basic_auth_users"); it != f.end()) config.users = r.users(it->second);
    return config;
}

web_config load_web_config(const std::string& path) {
    return parse_web_config(read_whole_file(path, "the file", path), path);
}

}  // namespace sanperf_exporter::security
