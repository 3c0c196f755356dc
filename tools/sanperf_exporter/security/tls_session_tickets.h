// The key of the session tickets the server hands its TLS clients. A client
// that comes back with one resumes its session: no certificate, no
// signature, no key exchange with the server's key, so reconnecting costs
// it and the server little. GnuTLS derives the keys it encrypts with from
// this one and replaces them on its own schedule; each web configuration
// loaded makes a new one, so no ticket outlives the file it was issued under.
#pragma once

#include <gnutls/gnutls.h>

namespace sanperf_exporter::security {

class session_ticket_key {
public:
    // A fresh random key; throws tls_error.
    session_ticket_key();
    // Wipes the key.
    ~session_ticket_key();
    session_ticket_key(const session_ticket_key&) = delete;
    session_ticket_key& operator=(const session_ticket_key&) = delete;

    // Lets session, whose handshake has not begun, resume from a ticket and
    // hand out new ones. The key must outlive the session.
    void enable(gnutls_session_t session) const;

private:
    gnutls_datum_t key_{};
};

}  // namespace sanperf_exporter::security
