// The exporter's TLS material in GnuTLS form: its own certificate and key,
// the CAs that sign client certificates, and the priority string that fixes
// protocol versions, cipher suites and curves.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace sanperf_exporter::security {

// Material that GnuTLS refused; what() says why, without the file's name.
class tls_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server's certificate chain and private key, checked to belong together.
// Handed to GnuTLS at each handshake, so a reloaded pair serves new
// connections while old ones keep theirs.
class server_identity {
public:
    // Throws tls_error when either PEM text cannot be parsed or the key is not
    // the certificate's.
    server_identity(const std::string& cert_pem, const std::string& key_pem);
    ~server_identity();
    server_identity(const server_identity&) = delete;
    server_identity& operator=(const server_identity&) = delete;

    gnutls_pcert_st* chain() const { return chain_.get(); }
    unsigned chain_length() const { return chain_length_; }
    gnutls_privkey_t key() const { return key_; }

private:
    void release();

    std::unique_ptr<gnutls_pcert_st[]> chain_;
    unsigned chain_length_ = 0;
    gnutls_privkey_t key_ = nullptr;
};

// The CAs that client certificates must chain to.
class client_ca {
public:
    // Throws tls_error when the text holds no certificate GnuTLS can read.
    explicit client_ca(const std::string& pem);
    ~client_ca();
    client_ca(const client_ca&) = delete;
    client_ca& operator=(const client_ca&) = delete;

    // The CA text as given; the TLS server sends its names to clients.
    const std::string& pem() const { return pem_; }

    // True when the session's peer sent a certificate that chains to these
    // CAs, is within its validity period and may be used by a TLS client.
    // Otherwise false, with the reason in why.
    bool verify_peer(gnutls_session_t session, std::string& why) const;

private:
    std::string pem_;
    gnutls_x509_trust_list_t trust_ = nullptr;
};

enum class tls_version { tls10, tls11, tls12, tls13 };

// What the priority string is built from, as the configuration file names it.
struct tls_parameters {
    tls_version min_version = tls_version::tls12;
    tls_version max_version = tls_version::tls13;
    std::vector<std::string> cipher_suites;      // empty: GnuTLS's defaults
    std::vector<std::string> curve_preferences;  // empty: GnuTLS's defaults
    bool prefer_server_cipher_suites = true;
};

// The GnuTLS priority string for the parameters; throws tls_error naming the
// setting that cannot be honoured exactly (an unknown suite or curve, a suite
// list GnuTLS could not restrict itself to, suites with TLS 1.3 enabled).
std::string tls_priority(const tls_parameters& parameters);

}  // namespace sanperf_exporter::security
