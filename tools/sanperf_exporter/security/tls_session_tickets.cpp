#include "sanperf_exporter/security/tls_session_tickets.h"

#include <string>

#include "sanperf_exporter/security/tls_error.h"

namespace sanperf_exporter::security {

session_ticket_key::session_ticket_key() {
    const int rc = gnutls_session_ticket_key_generate(&key_);
    if (rc < 0)
        throw tls_error(std::string("cannot make a session ticket key: ") + gnutls_strerror(rc));
}

session_ticket_key::~session_ticket_key() {
    gnutls_memset(key_.data, 0, key_.size);
    gnutls_free(key_.data);
}

void session_ticket_key::enable(gnutls_session_t session) const {
    gnutls_session_ticket_enable_server(session, &key_);
}

}  // namespace sanperf_exporter::security
