// --hash-password: a bcrypt hash for the configuration file, for servers
// without htpasswd.
#pragma once

#include <iosfwd>

namespace sanperf_exporter::security {

// The cost of hashes made here: tens of milliseconds per check, once per
// user and password thanks to the login cache.
constexpr int hash_password_cost = 10;

// Reads one password from in (its line end dropped; when in is a terminal,
// without echo and after a prompt on err) and writes its hash and a newline
// to out. Returns the exit status: 0, or 1 with a message on err for an empty,
// multi-line, NUL-holding or over-long password.
int hash_password(std::istream& in, std::ostream& out, std::ostream& err, bool terminal);

}  // namespace sanperf_exporter::security
