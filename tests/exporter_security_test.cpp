// The exporter's web configuration file, TLS priority strings, the
// Authorization header parser, the password checks, the limit on failed
// logins and the pool the checks run on.
#include "sanperf_exporter/security/basic_auth_header.h"
#include "sanperf_exporter/security/check_pool.h"
#include "sanperf_exporter/security/failure_limit.h"
#include "sanperf_exporter/security/password_check.h"
#include "sanperf_exporter/security/web_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sec = sanperf_exporter::security;

namespace {

// A scratch directory with a CA, a server certificate and key signed by it,
// and a second key that belongs to nothing, made with openssl once.
class web_config_test : public testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/sanperf-websec-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::string script =
            "cd " + dir_ +
            " && exec >/dev/null 2>&1 && "
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
            "  -subj /CN=ca -keyout ca.key -out ca.pem && "
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost "
            "  -keyout server.key -out server.csr && "
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
            "-out server.pem && "
            "openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:P-256 -out other.key";
        ASSERT_EQ(std::system(script.c_str()), 0) << "openssl failed in " << dir_;
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + dir_).c_str()); }

    // Writes text as a configuration file in the scratch directory.
    static std::string write(const std::string& text, const std::string& name = "web.yml") {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    static inline std::string dir_;
};

const std::string tls_ok = "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n";
const std::string hash_a = "$2y$10$X0h1gDsPszWURQaxFh.zoubFi6DXncSjhoQNJgRrnGs7EsimhC7zG";

struct refusal {
    const char* what;
    std::string text;
    std::string message;  // part of the expected message
};

TEST_F(web_config_test, refuses_every_file_it_cannot_honour) {
    const std::vector<refusal> cases{
        {"malformed YAML", "tls_server_config: [\n", "malformed YAML"},
        {"empty file", "", "is empty"},
        {"two documents", "basic_auth_users: {}\n---\nbasic_auth_users: {}\n", "more than one"},
        {"stray comma the YAML library loops on", ",a\n", "stray text"},
        {"binary junk", "a: \x01\xff\n", "is not UTF-8 text"},
        {"top level not a mapping", "- a\n", "the top level must be a mapping"},
        {"unknown key", "tls_config: {}\n", "unknown key tls_config"},
        {"unknown nested key", tls_ok + "  certfile: x\n",
         "unknown key tls_server_config.certfile"},
        {"unsupported toolkit key", tls_ok + "  client_allowed_sans: [a]\n",
         "client_allowed_sans is not supported"},
        {"unsupported rate limit", "rate_limit: {burst: 1}\n", "rate_limit is not supported"},
        {"duplicate top-level key", "basic_auth_users: {}\nbasic_auth_users: {}\n",
         "duplicate key basic_auth_users"},
        {"duplicate user", "basic_auth_users:\n  a: '" + hash_a + "'\n  a: '" + hash_a + "'\n",
         "duplicate key basic_auth_users.a"},
        {"duplicate nested key", tls_ok + "  key_file: server.key\n",
         "duplicate key tls_server_config.key_file"},
        {"list for a string",
         "tls_server_config:\n  cert_file: [server.pem]\n  key_file: server.key\n",
         "cert_file must be a string"},
        {"string for a mapping", "tls_server_config: server.pem\n",
         "tls_server_config must be a mapping"},
        {"word for a boolean", tls_ok + "  prefer_server_cipher_suites: yes\n",
         "must be true or false"},
        {"unknown version", tls_ok + "  min_version: TLS14\n", "unknown TLS version \"TLS14\""},
        {"min above max", tls_ok + "  min_version: TLS13\n  max_version: TLS12\n",
         "min_version is above max_version"},
        {"no key", "tls_server_config:\n  cert_file: server.pem\n", "needs key_file"},
        {"inline and file cert", tls_ok + "  cert: x\n",
         "cert_file and tls_server_config.cert are both set"},
        {"unreadable cert",
         "tls_server_config:\n  cert_file: missing.pem\n  key_file: server.key\n",
         "cannot read cert_file " + dir_ + "/missing.pem"},
        {"key as certificate",
         "tls_server_config:\n  cert_file: server.key\n  key_file: server.key\n",
         "no usable certificate"},
        {"mismatched key", "tls_server_config:\n  cert_file: server.pem\n  key_file: other.key\n",
         "does not belong to the certificate"},
        {"CA without verification", tls_ok + "  client_ca_file: ca.pem\n",
         "client_ca_file is set but"},
        {"verification without CA", tls_ok + "  client_auth_type: RequireAndVerifyClientCert\n",
         "needs client_ca_file"},
        {"CA file without a certificate",
         tls_ok + "  client_auth_type: RequireAndVerifyClientCert\n"
                  "  client_ca_file: other.key\n",
         "client CA:"},
        {"weak client auth type", tls_ok + "  client_auth_type: VerifyClientCertIfGiven\n",
         "is not supported"},
        {"unknown client auth type", tls_ok + "  client_auth_type: Sometimes\n",
         "unknown value \"Sometimes\""},
        {"suites with TLS 1.3",
         tls_ok + "  cipher_suites: [TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256]\n",
         "cannot be honoured with TLS 1.3"},
        {"suites GnuTLS cannot isolate",
         tls_ok + "  max_version: TLS12\n  cipher_suites:\n"
                  "    - TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256\n"
                  "    - TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384\n",
         "would also enable TLS_ECDHE_"},
        {"insecure suite",
         tls_ok + "  max_version: TLS12\n  cipher_suites: [TLS_RSA_WITH_RC4_128_SHA]\n",
         "TLS_RSA_WITH_RC4_128_SHA is not supported"},
        {"unknown curve", tls_ok + "  curve_preferences: [CurveP224]\n",
         "CurveP224 is not supported"},
        {"header outside the allowlist", "http_server_config:\n  headers:\n    X-Powered-By: me\n",
         "unknown key http_server_config.headers.X-Powered-By"},
        {"bad header value", "http_server_config:\n  headers:\n    X-Frame-Options: allow\n",
         "is not one of deny"},
        {"header injection",
         "http_server_config:\n  headers:\n    Content-Security-Policy: \"a\\r\\nSet-Cookie: x\"\n",
         "control character"},
        {"plain password", "basic_auth_users:\n  a: secret\n",
         "basic_auth_users.a is not a bcrypt hash"},
        {"other crypt scheme", "basic_auth_users:\n  a: '$6$salt$hash'\n", "is not a bcrypt hash"},
        {"cost below bcrypt's range", "basic_auth_users:\n  a: '$2y$03$" + hash_a.substr(7) + "'\n",
         "is not a bcrypt hash"},
        {"user name with a colon", "basic_auth_users:\n  'a:b': '" + hash_a + "'\n",
         "with a colon"},
    };
    for (const auto& c : cases) {
        std::string path = write(c.text);
        try {
            sec::load_web_config(path);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const sec::config_error& e) {
            std::string message = e.what();
            EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << c.what << ": " << message;
            EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
        }
    }
}

TEST_F(web_config_test, refuses_a_missing_file) {
    EXPECT_THROW(sec::load_web_config(dir_ + "/none.yml"), sec::config_error);
}

TEST_F(web_config_test, reads_a_full_file_with_paths_relative_to_it) {
    std::string path = write(tls_ok +
                             "  client_auth_type: RequireAndVerifyClientCert\n"
                             "  client_ca_file: ca.pem\n"
                             "  prefer_server_cipher_suites: false\n"
                             "  curve_preferences: [X25519, CurveP256]\n"
                             "http_server_config:\n"
                             "  http2: false\n"
                             "  headers:\n"
                             "    X-Frame-Options: deny\n"
                             "    X-XSS-Protection: ''\n"
                             "basic_auth_users:\n"
                             "  alice: '" +
                             hash_a + "'\n");
    // The working directory is elsewhere: the file's own directory counts.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_NE(std::string(cwd), dir_);
    sec::web_config config = sec::load_web_config(path);
    ASSERT_TRUE(config.tls);
    EXPECT_EQ(config.tls->client_auth, sec::client_auth_policy::require_and_verify);
    EXPECT_TRUE(config.tls->client_cas);
    EXPECT_NE(config.tls->identity->cert_pem().find("BEGIN CERTIFICATE"), std::string::npos);
    EXPECT_EQ(
        config.tls->priority,
        "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1");
    ASSERT_EQ(config.headers.size(), 1u);  // blank means unset
    EXPECT_EQ(config.headers[0].first, "X-Frame-Options");
    EXPECT_EQ(config.users.at("alice"), hash_a);
}

// The suites and versions GnuTLS really enables for a priority string.
std::set<std::string> enabled_suites(const std::string& priority,
                                     std::set<int>* versions = nullptr) {
    gnutls_priority_t cache = nullptr;
    EXPECT_EQ(gnutls_priority_init(&cache, priority.c_str(), nullptr), 0) << priority;
    std::set<std::string> out;
    for (unsigned i = 0;; ++i) {
        unsigned index = 0;
        int rc = gnutls_priority_get_cipher_suite_index(cache, i, &index);
        if (rc == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) break;
        if (rc < 0) continue;
        gnutls_protocol_t min_version{};
        const char* name =
            gnutls_cipher_suite_info(index, nullptr, nullptr, nullptr, nullptr, &min_version);
        if (name != nullptr && min_version <= GNUTLS_TLS1_2) out.insert(name);
    }
    if (versions != nullptr) {
        const unsigned* list = nullptr;
        int n = gnutls_priority_protocol_list(cache, &list);
        for (int i = 0; i < n; ++i) versions->insert(static_cast<int>(list[i]));
    }
    gnutls_priority_deinit(cache);
    return out;
}

TEST(tls_priority, versions_default_to_tls12_and_tls13_only) {
    std::set<int> versions;
    enabled_suites(sec::tls_priority({}), &versions);
    EXPECT_EQ(versions, (std::set<int>{GNUTLS_TLS1_2, GNUTLS_TLS1_3}));

    sec::tls_parameters old;
    old.min_version = sec::tls_version::tls10;
    old.max_version = sec::tls_version::tls11;
    versions.clear();
    enabled_suites(sec::tls_priority(old), &versions);
    EXPECT_EQ(versions, (std::set<int>{GNUTLS_TLS1_0, GNUTLS_TLS1_1}));
}

TEST(tls_priority, cipher_suites_enable_exactly_those_listed) {
    sec::tls_parameters p;
    p.max_version = sec::tls_version::tls12;
    p.cipher_suites = {
        "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256",
        "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305", "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256"};
    EXPECT_EQ(enabled_suites(sec::tls_priority(p)),
              (std::set<std::string>{
                  "TLS_ECDHE_RSA_AES_128_GCM_SHA256", "TLS_ECDHE_ECDSA_AES_128_GCM_SHA256",
                  "TLS_ECDHE_RSA_CHACHA20_POLY1305", "TLS_ECDHE_ECDSA_CHACHA20_POLY1305"}));

    // The RSA CBC suites drag in one the file cannot name.
    p.cipher_suites = {"TLS_RSA_WITH_AES_256_CBC_SHA", "TLS_RSA_WITH_AES_128_CBC_SHA256"};
    EXPECT_THROW(sec::tls_priority(p), sec::tls_error);
}

TEST(basic_authorization, reads_canonical_headers) {
    auto c = sec::parse_basic_authorization("Basic dXNlcjpwYXNz");  // user:pass
    ASSERT_TRUE(c);
    EXPECT_EQ(c->user, "user");
    EXPECT_EQ(c->password, "pass");

    c = sec::parse_basic_authorization(" bASIC   YTpiOmM=\t");  // a:b:c
    ASSERT_TRUE(c);
    EXPECT_EQ(c->user, "a");
    EXPECT_EQ(c->password, "b:c");

    c = sec::parse_basic_authorization("Basic dTo=");  // u: (empty password)
    ASSERT_TRUE(c);
    EXPECT_EQ(c->password, "");
}

TEST(basic_authorization, refuses_anything_else) {
    for (const char* value : {
             "", "Basic", "Basic ", "Bearer dXNlcjpwYXNz", "BasicdXNlcjpwYXNz",
             "Basic dXNlcjpwYXNz extra",
             "Basic dXNlcjpwYXM",   // user:pas without its padding
             "Basic dXNlcjpwYXN=",  // stray bits under the padding
             "Basic dXNlcjpw=XNz",  // padding inside
             "Basic dXNlcjpwYXNz====",
             "Basic dXNl*jpwYXNz",  // not in the alphabet
             "Basic dXNlcl9wYXNz",  // user_pass: no colon
             "Basic dTpwAHg=",      // u:p\0x
             "Basic AHU6cA==",      // \0u:p
         }) {
        EXPECT_FALSE(sec::parse_basic_authorization(value)) << '"' << value << '"';
    }
    EXPECT_FALSE(sec::parse_basic_authorization("Basic " + std::string(4096, 'A')));
}

class password_checker_test : public testing::Test {
protected:
    std::shared_ptr<sec::login_cache> cache_ = std::make_shared<sec::login_cache>();
};

TEST_F(password_checker_test, grants_the_right_password_only) {
    sec::password_checker checker({{"alice", sec::bcrypt_hash("right", 4)}}, cache_);
    EXPECT_EQ(checker.check_cached("alice", "right"), sec::login::needs_hash);
    EXPECT_TRUE(checker.check_hashed("alice", "right"));
    EXPECT_EQ(checker.check_cached("alice", "right"), sec::login::granted);
    EXPECT_FALSE(checker.check_hashed("alice", "wrong"));
    EXPECT_FALSE(checker.check_hashed("alice", "righ"));
    EXPECT_FALSE(checker.check_hashed("bob", "right"));
    EXPECT_FALSE(checker.check_hashed("", ""));
    EXPECT_EQ(checker.check_cached("alice", "wrong"), sec::login::needs_hash);
    EXPECT_EQ(checker.check_cached("bob", "right"), sec::login::needs_hash);
}

TEST_F(password_checker_test, cache_keys_do_not_run_user_and_password_together) {
    // Two users share a hash: "ab" with "p" must not open "a" with "bp".
    std::string hash = sec::bcrypt_hash("p", 4);
    sec::password_checker checker({{"a", hash}, {"ab", hash}}, cache_);
    EXPECT_TRUE(checker.check_hashed("ab", "p"));
    EXPECT_EQ(checker.check_cached("a", "bp"), sec::login::needs_hash);
    EXPECT_FALSE(checker.check_hashed("a", "bp"));
    EXPECT_TRUE(checker.check_hashed("a", "p"));
}

TEST_F(password_checker_test, refuses_what_bcrypt_would_cut_or_truncate) {
    std::string longest(sec::bcrypt_max_password, 'x');
    sec::password_checker checker({{"u", sec::bcrypt_hash(longest, 4)}}, cache_);
    EXPECT_TRUE(checker.check_hashed("u", longest));
    EXPECT_EQ(checker.check_cached("u", longest + "y"), sec::login::denied);
    EXPECT_FALSE(checker.check_hashed("u", longest + "y"));
    std::string with_nul = longest.substr(0, 10) + std::string(1, '\0') + "x";
    EXPECT_EQ(checker.check_cached("u", with_nul), sec::login::denied);
    EXPECT_FALSE(checker.check_hashed("u", with_nul));
}

TEST_F(password_checker_test, logins_outlive_a_reload_while_the_hash_stays) {
    const std::string alice = sec::bcrypt_hash("a-pass", 4);
    sec::password_checker before({{"alice", alice}, {"bob", sec::bcrypt_hash("b-pass", 4)}},
                                 cache_);
    ASSERT_TRUE(before.check_hashed("alice", "a-pass"));
    ASSERT_TRUE(before.check_hashed("bob", "b-pass"));

    // The reloaded file keeps alice's hash, gives bob a new one of the same
    // password, and drops carol, who had logged in.
    sec::password_checker after({{"alice", alice}, {"bob", sec::bcrypt_hash("b-pass", 4)}}, cache_);
    EXPECT_EQ(after.check_cached("alice", "a-pass"), sec::login::granted);
    EXPECT_EQ(after.check_cached("bob", "b-pass"), sec::login::needs_hash);

    sec::password_checker with_carol({{"carol", sec::bcrypt_hash("c-pass", 4)}}, cache_);
    ASSERT_TRUE(with_carol.check_hashed("carol", "c-pass"));
    EXPECT_EQ(after.check_cached("carol", "c-pass"), sec::login::needs_hash);
    EXPECT_FALSE(after.check_hashed("carol", "c-pass"));
}

TEST(login_cache, forgets_the_oldest_login_beyond_its_capacity) {
    sec::login_cache cache(2);
    cache.remember("a");
    cache.remember("b");
    cache.remember("a");  // already there: not a new entry
    cache.remember("c");
    EXPECT_FALSE(cache.contains("a"));
    EXPECT_TRUE(cache.contains("b"));
    EXPECT_TRUE(cache.contains("c"));
}

TEST(failure_limit, allows_a_burst_then_one_failure_per_refill) {
    using namespace std::chrono_literals;
    sec::failure_limit limit(5, 10s);
    const auto t0 = sec::failure_limit::clock::now();
    unsigned retry = 0;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(limit.take("a", t0, retry)) << i;
    EXPECT_FALSE(limit.allows("a", t0, retry));
    EXPECT_EQ(retry, 2u);  // one token every 10 s / 5
    retry = 0;
    EXPECT_FALSE(limit.take("a", t0 + 1500ms, retry));
    EXPECT_EQ(retry, 1u);
    // Another source is not held back by the first.
    EXPECT_TRUE(limit.allows("b", t0, retry));
    EXPECT_TRUE(limit.take("b", t0, retry));

    // One token back after 2 s, and no more than the burst however long
    // the pause.
    EXPECT_TRUE(limit.take("a", t0 + 2s, retry));
    EXPECT_FALSE(limit.take("a", t0 + 2s, retry));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(limit.take("a", t0 + 1h, retry)) << i;
    EXPECT_FALSE(limit.take("a", t0 + 1h, retry));

    // A check that succeeded returns its token.
    limit.give_back("a", t0 + 1h);
    EXPECT_TRUE(limit.allows("a", t0 + 1h, retry));
    EXPECT_TRUE(limit.take("a", t0 + 1h, retry));
}

// A pool of one thread, held on a first job until release() so the order
// of the jobs queued behind it can be seen.
class check_pool_test : public testing::Test {
protected:
    void hold() {
        pool_.submit("held", [this](bool) {
            std::unique_lock<std::mutex> lock(mutex_);
            released_.wait(lock, [this] { return open_; });
        });
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        released_.notify_all();
    }
    void queue(const std::string& source, int n) {
        for (int i = 0; i < n; ++i) {
            pool_.submit(source, [this, source](bool cancelled) {
                std::lock_guard<std::mutex> lock(mutex_);
                (cancelled ? cancelled_ : ran_).push_back(source);
            });
        }
    }

    std::size_t done() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ran_.size() + cancelled_.size();
    }

    std::mutex mutex_;
    std::condition_variable released_;
    bool open_ = false;
    std::vector<std::string> ran_;
    std::vector<std::string> cancelled_;
    sec::check_pool pool_{1};
};

TEST_F(check_pool_test, sources_take_turns_whatever_one_of_them_queues) {
    hold();
    queue("flood", 20);
    queue("honest", 2);
    release();
    for (int i = 0; i < 500 && done() < 22; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(ran_.size(), 22u);
    // The first honest job waits for one flood job only, the second for one more.
    EXPECT_EQ(ran_[1], "honest");
    EXPECT_EQ(ran_[3], "honest");
    EXPECT_TRUE(cancelled_.empty());
}

TEST_F(check_pool_test, stop_cancels_the_queued_jobs_and_runs_none_after) {
    hold();
    queue("a", 3);
    std::thread stopper([this] { pool_.stop(); });
    // stop() answers the queued jobs before it waits for the held one.
    for (int i = 0; i < 500 && done() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    release();
    stopper.join();
    EXPECT_EQ(cancelled_.size(), 3u);
    EXPECT_TRUE(ran_.empty());
    queue("a", 1);
    EXPECT_EQ(cancelled_.size(), 4u);
}

}  // namespace
