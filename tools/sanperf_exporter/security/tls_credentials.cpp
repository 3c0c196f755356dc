#include "sanperf_exporter/security/tls_credentials.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sanperf_exporter::security {
namespace {

constexpr unsigned max_chain_length = 16;

std::string gnutls_reason(int code) { return gnutls_strerror(code); }

gnutls_datum_t datum_of(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
            static_cast<unsigned>(text.size())};
}

// A public key in DER, to tell whether a certificate and a key belong together.
std::string der_of(gnutls_pubkey_t key) {
    gnutls_datum_t out{};
    int rc = gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &out);
    if (rc < 0) throw tls_error("cannot export a public key: " + gnutls_reason(rc));
    std::string der(reinterpret_cast<const char*>(out.data), out.size);
    gnutls_free(out.data);
    return der;
}

// One TLS 1.2 suite as GnuTLS composes it from a key exchange, a cipher and
// a MAC. Not every suite GnuTLS builds from these parts can be named in the
// configuration file, but each matters: asking for its parts enables it.
struct suite {
    const char* name;  // IANA's name, as the configuration file spells it
    bool nameable;     // whether the file may list it
    const char* kx;
    const char* cipher;
    const char* mac;
};

constexpr std::array<suite, 18> suites{{
    {"TLS_RSA_WITH_AES_128_CBC_SHA", true, "RSA", "AES-128-CBC", "SHA1"},
    {"TLS_RSA_WITH_AES_256_CBC_SHA", true, "RSA", "AES-256-CBC", "SHA1"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA256", true, "RSA", "AES-128-CBC", "SHA256"},
    {"TLS_RSA_WITH_AES_256_CBC_SHA256", false, "RSA", "AES-256-CBC", "SHA256"},
    {"TLS_RSA_WITH_AES_128_GCM_SHA256", true, "RSA", "AES-128-GCM", "AEAD"},
    {"TLS_RSA_WITH_AES_256_GCM_SHA384", true, "RSA", "AES-256-GCM", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", true, "ECDHE-RSA", "AES-128-CBC", "SHA1"},
    {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", true, "ECDHE-RSA", "AES-256-CBC", "SHA1"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", true, "ECDHE-RSA", "AES-128-CBC", "SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", true, "ECDHE-RSA", "AES-128-GCM", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", true, "ECDHE-RSA", "AES-256-GCM", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", true, "ECDHE-RSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", true, "ECDHE-ECDSA", "AES-128-CBC", "SHA1"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", true, "ECDHE-ECDSA", "AES-256-CBC", "SHA1"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", true, "ECDHE-ECDSA", "AES-128-CBC", "SHA256"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", true, "ECDHE-ECDSA", "AES-128-GCM", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", true, "ECDHE-ECDSA", "AES-256-GCM", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", true, "ECDHE-ECDSA", "CHACHA20-POLY1305",
     "AEAD"},
}};

// Older spellings the file format also accepts for the same suites.
const char* canonical_suite_name(const std::string& name) {
    if (name == "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305")
        return "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256";
    if (name == "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305")
        return "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256";
    return name.c_str();
}

const suite* find_suite(const std::string& name) {
    const char* wanted = canonical_suite_name(name);
    for (const suite& s : suites) {
        if (s.nameable && std::strcmp(s.name, wanted) == 0) return &s;
    }
    return nullptr;
}

void add_once(std::vector<std::string>& list, const char* item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) list.emplace_back(item);
}

bool contains(const std::vector<std::string>& list, const char* item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// "-CIPHER-ALL:-MAC-ALL:-KX-ALL:+..." restricting TLS 1.2 to exactly the
// named suites, or tls_error when GnuTLS would enable others besides.
std::string suites_priority(const std::vector<std::string>& names) {
    std::vector<const suite*> wanted;
    std::vector<std::string> kxs, ciphers, macs;
    for (const std::string& name : names) {
        const suite* s = find_suite(name);
        if (s == nullptr) {
            throw tls_error(
                "cipher_suites: " + name +
                " is not supported (supported: the AES-GCM, ChaCha20-Poly1305 and AES-CBC suites)");
        }
        wanted.push_back(s);
        add_once(kxs, s->kx);
        add_once(ciphers, s->cipher);
        add_once(macs, s->mac);
    }
    // GnuTLS enables every suite made of an enabled exchange, cipher and MAC.
    for (const suite& s : suites) {
        if (!contains(kxs, s.kx) || !contains(ciphers, s.cipher) || !contains(macs, s.mac))
            continue;
        if (std::find(wanted.begin(), wanted.end(), &s) != wanted.end()) continue;
        throw tls_error(
            "cipher_suites cannot be honoured exactly: the TLS library would also enable " +
            std::string(s.name) +
            (s.nameable ? "; add it or change the list" : "; change the list"));
    }
    std::string out = ":-CIPHER-ALL:-MAC-ALL:-KX-ALL";
    for (const auto& c : ciphers) out += ":+" + c;
    for (const auto& m : macs) out += ":+" + m;
    for (const auto& k : kxs) out += ":+" + k;
    return out;
}

// NORMAL's groups, X25519 moved first. Go's TLS client (Prometheus') sends
// a key share for X25519 alone; with the server's order winning, NORMAL's
// own order, P-256 first, would answer each of its new connections with a
// HelloRetryRequest: one round trip more.
constexpr const char* x25519_first =
    ":-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1:+GROUP-SECP384R1:+GROUP-SECP521R1:+GROUP-X448"
    ":+GROUP-FFDHE2048:+GROUP-FFDHE3072:+GROUP-FFDHE4096:+GROUP-FFDHE6144:+GROUP-FFDHE8192";

std::string curves_priority(const std::vector<std::string>& names) {
    std::string out = ":-GROUP-ALL";
    for (const std::string& name : names) {
        const char* group = name == "CurveP256"   ? "GROUP-SECP256R1"
                            : name == "CurveP384" ? "GROUP-SECP384R1"
                            : name == "CurveP521" ? "GROUP-SECP521R1"
                            : name == "X25519"    ? "GROUP-X25519"
                                                  : nullptr;
        if (group == nullptr) {
            throw tls_error(
                "curve_preferences: " + name +
                " is not supported (supported: CurveP256, CurveP384, CurveP521, X25519)");
        }
        out += ":+";
        out += group;
    }
    return out;
}

}  // namespace

server_identity::server_identity(const std::string& cert_pem, const std::string& key_pem)
    : cert_pem_(cert_pem), key_pem_(key_pem) {
    std::unique_ptr<gnutls_pcert_st[]> chain(new gnutls_pcert_st[max_chain_length]);
    gnutls_datum_t cert = datum_of(cert_pem);
    unsigned count = max_chain_length;
    int rc = gnutls_pcert_list_import_x509_raw(chain.get(), &count, &cert, GNUTLS_X509_FMT_PEM,
                                               GNUTLS_X509_CRT_LIST_FAIL_IF_UNSORTED);
    if (rc < 0) throw tls_error("no usable certificate: " + gnutls_reason(rc));
    auto release_chain = [&chain, count] {
        for (unsigned i = 0; i < count; ++i) gnutls_pcert_deinit(&chain[i]);
    };

    gnutls_privkey_t key_handle = nullptr;
    try {
        rc = gnutls_privkey_init(&key_handle);
        if (rc < 0) throw tls_error(gnutls_reason(rc));
        std::unique_ptr<gnutls_privkey_st, void (*)(gnutls_privkey_t)> key_guard(
            key_handle, gnutls_privkey_deinit);
        gnutls_datum_t key = datum_of(key_pem);
        rc = gnutls_privkey_import_x509_raw(key_handle, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
        if (rc < 0) throw tls_error("no usable private key: " + gnutls_reason(rc));

        gnutls_pubkey_t from_key = nullptr;
        rc = gnutls_pubkey_init(&from_key);
        if (rc < 0) throw tls_error(gnutls_reason(rc));
        std::unique_ptr<gnutls_pubkey_st, void (*)(gnutls_pubkey_t)> guard(from_key,
                                                                           gnutls_pubkey_deinit);
        rc = gnutls_pubkey_import_privkey(from_key, key_handle, 0, 0);
        if (rc < 0) throw tls_error("no usable private key: " + gnutls_reason(rc));
        if (der_of(from_key) != der_of(chain[0].pubkey)) {
            throw tls_error("the private key does not belong to the certificate");
        }
    } catch (...) {
        release_chain();
        throw;
    }
    release_chain();
}

handshake_credentials::handshake_credentials(const server_identity& identity,
                                             const client_ca* required)
    : require_(required != nullptr),
      // PEM is longer than the DER that is sent: a margin, not an exact sum.
      max_handshake_(identity.cert_pem().size() + (required ? required->pem().size() : 0) +
                     client_handshake_bytes) {
    int rc = gnutls_certificate_allocate_credentials(&credentials_);
    if (rc < 0) throw tls_error(gnutls_reason(rc));
    gnutls_datum_t cert = datum_of(identity.cert_pem());
    gnutls_datum_t key = datum_of(identity.key_pem());
    rc = gnutls_certificate_set_x509_key_mem2(credentials_, &cert, &key, GNUTLS_X509_FMT_PEM,
                                              nullptr, 0);
    if (rc >= 0 && required != nullptr) {
        gnutls_datum_t cas = datum_of(required->pem());
        rc = gnutls_certificate_set_x509_trust_mem(credentials_, &cas, GNUTLS_X509_FMT_PEM);
    }
    if (rc < 0) {
        gnutls_certificate_free_credentials(credentials_);
        throw tls_error(gnutls_reason(rc));
    }
}

handshake_credentials::~handshake_credentials() {
    gnutls_certificate_free_credentials(credentials_);
}

void handshake_credentials::apply(gnutls_session_t session) const {
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials_);
    gnutls_handshake_set_max_packet_length(session, max_handshake_);
    tickets_.enable(session);
    if (!require_) return;
    gnutls_certificate_server_set_request(session, GNUTLS_CERT_REQUIRE);
    static gnutls_typed_vdata_st client_purpose{
        GNUTLS_DT_KEY_PURPOSE_OID,
        reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_CLIENT)), 0};
    gnutls_session_set_verify_cert2(session, &client_purpose, 1, 0);
}

client_ca::client_ca(const std::string& pem) : pem_(pem) {
    int rc = gnutls_x509_trust_list_init(&trust_, 0);
    if (rc < 0) throw tls_error(gnutls_reason(rc));
    gnutls_datum_t data = datum_of(pem_);
    rc = gnutls_x509_trust_list_add_trust_mem(trust_, &data, nullptr, GNUTLS_X509_FMT_PEM, 0, 0);
    if (rc <= 0) {
        gnutls_x509_trust_list_deinit(trust_, 1);
        throw tls_error(rc < 0 ? "no usable CA certificate: " + gnutls_reason(rc)
                               : std::string("no CA certificate found"));
    }
}

client_ca::~client_ca() { gnutls_x509_trust_list_deinit(trust_, 1); }

bool client_ca::verify_peer(gnutls_session_t session, std::string& why) const {
    unsigned count = 0;
    const gnutls_datum_t* peers = nullptr;
    if (gnutls_certificate_type_get(session) == GNUTLS_CRT_X509) {
        peers = gnutls_certificate_get_peers(session, &count);
    }
    if (peers == nullptr || count == 0) {
        why = "no client certificate";
        return false;
    }
    count = std::min(count, max_chain_length);

    std::array<gnutls_x509_crt_t, max_chain_length> certs{};
    unsigned imported = 0;
    bool ok = true;
    for (; imported < count; ++imported) {
        if (gnutls_x509_crt_init(&certs[imported]) < 0) {
            ok = false;
            break;
        }
        int rc = gnutls_x509_crt_import(certs[imported], &peers[imported], GNUTLS_X509_FMT_DER);
        if (rc < 0) {
            ++imported;
            why = "unreadable client certificate: " + gnutls_reason(rc);
            ok = false;
            break;
        }
    }
    if (ok) {
        // A certificate restricted to other purposes may not log in as a client.
        gnutls_typed_vdata_st purpose{};
        purpose.type = GNUTLS_DT_KEY_PURPOSE_OID;
        purpose.data =
            reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_CLIENT));
        unsigned status = 0;
        int rc = gnutls_x509_trust_list_verify_crt2(trust_, certs.data(), count, &purpose, 1, 0,
                                                    &status, nullptr);
        if (rc < 0) {
            why = "client certificate not verified: " + gnutls_reason(rc);
            ok = false;
        } else if (status != 0) {
            gnutls_datum_t text{};
            if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) ==
                0) {
                why = std::string(reinterpret_cast<const char*>(text.data), text.size);
                gnutls_free(text.data);
            } else {
                why = "client certificate not trusted";
            }
            ok = false;
        }
    } else if (why.empty()) {
        why = "out of memory reading the client certificate";
    }
    for (unsigned i = 0; i < imported; ++i) gnutls_x509_crt_deinit(certs[i]);
    return ok;
}

std::string tls_priority(const tls_parameters& p) {
    if (p.min_version > p.max_version) throw tls_error("min_version is above max_version");
    if (!p.cipher_suites.empty() && p.max_version == tls_version::tls13) {
        throw tls_error(
            "cipher_suites cannot be honoured with TLS 1.3 enabled: the TLS library applies one "
            "cipher list "
            "to TLS 1.2 and 1.3 alike; set max_version: TLS12 or remove cipher_suites");
    }
    static const char* const names[] = {"VERS-TLS1.0", "VERS-TLS1.1", "VERS-TLS1.2", "VERS-TLS1.3"};
    // NORMAL's own version list reaches down to TLS 1.0, so it is replaced.
    std::string out = "NORMAL:-VERS-ALL";
    for (int v = static_cast<int>(p.max_version); v >= static_cast<int>(p.min_version); --v) {
        out += ":+";
        out += names[v];
    }
    if (!p.cipher_suites.empty()) out += suites_priority(p.cipher_suites);
    out += p.curve_preferences.empty() ? x25519_first : curves_priority(p.curve_preferences);
    if (p.prefer_server_cipher_suites) out += ":%SERVER_PRECEDENCE";

    gnutls_priority_t check = nullptr;
    const char* error_at = nullptr;
    int rc = gnutls_priority_init(&check, out.c_str(), &error_at);
    if (rc < 0) {
        throw tls_error("the TLS library refused priority string \"" + out +
                        "\": " + gnutls_reason(rc));
    }
    gnutls_priority_deinit(check);
    return out;
}

}  // namespace sanperf_exporter::security
