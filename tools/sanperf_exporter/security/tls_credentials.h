// The exporter's TLS material in GnuTLS form: its own certificate and key,
// the CAs that sign client certificates, and the priority string that fixes
// protocol versions, cipher suites and curves.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "sanperf_exporter/security/tls_error.h"
#include "sanperf_exporter/security/tls_session_tickets.h"

namespace sanperf_exporter::security {

// The server's certificate chain and private key, checked to belong together.
class server_identity {
public:
    // Throws tls_error when either PEM text cannot be parsed or the key is not
    // the certificate's.
    server_identity(const std::string& cert_pem, const std::string& key_pem);

    const std::string& cert_pem() const { return cert_pem_; }
    const std::string& key_pem() const { return key_pem_; }

private:
    std::string cert_pem_;
    std::string key_pem_;
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

// The most a client's handshake messages may take, its certificates
// included: four RSA-4096 certificates fit twice over. A client that sends
// more is refused as soon as the length shows, before any of it is parsed.
constexpr std::size_t client_handshake_bytes = 16 * 1024;

// What one TLS handshake is given: the server's certificate and key and,
// when client certificates are required, the CAs they must chain to. A
// connection keeps the credentials its handshake was given, so a reload
// applies to new connections only.
class handshake_credentials {
public:
    // required: the CAs a client certificate must chain to, or null when
    // none is asked for. Throws tls_error.
    handshake_credentials(const server_identity& identity, const client_ca* required);
    ~handshake_credentials();
    handshake_credentials(const handshake_credentials&) = delete;
    handshake_credentials& operator=(const handshake_credentials&) = delete;

    // Sets up session, whose handshake has not begun: at most
    // client_handshake_bytes from the client, and a session ticket for it
    // to resume with. With CAs, the handshake names them, demands a certificate
    // that chains to them and may be used by a TLS client, and fails without
    // one: a client without a valid certificate never gets past it.
    void apply(gnutls_session_t session) const;

private:
    session_ticket_key tickets_;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    bool require_ = false;
    // GnuTLS bounds the whole handshake, the server's own messages
    // included: its certificates, and the CA names it sends, come on top.
    std::size_t max_handshake_ = 0;
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
