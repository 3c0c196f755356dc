// The web configuration file (--web.config.file): TLS, client certificates,
// extra response headers and basic-auth users, in the YAML format other
// Prometheus exporters accept. Everything in it is either honoured or the
// file is refused as a whole.
#pragma once

#include "sanperf_exporter/security/tls_credentials.h"

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sanperf_exporter::security {

// A file that cannot be honoured; what() names the file and the problem.
class config_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class client_auth_policy { none, require_and_verify };

struct tls_settings {
    std::shared_ptr<const server_identity> identity;
    client_auth_policy client_auth = client_auth_policy::none;
    std::shared_ptr<const client_ca> client_cas;  // set exactly when client_auth requires it
    std::string priority;                         // GnuTLS priority string
};

struct web_config {
    std::string path;                                          // as given, for messages
    std::optional<tls_settings> tls;                           // empty: plain HTTP
    std::vector<std::pair<std::string, std::string>> headers;  // added to every response
    std::map<std::string, std::string> users;                  // name -> bcrypt hash
};

// Parses text as the file at path (relative file names in it are taken from
// path's directory, and files it names are read). Throws config_error.
web_config parse_web_config(std::string_view text, const std::string& path);

// Reads and parses the file at path. Throws config_error.
web_config load_web_config(const std::string& path);

}  // namespace sanperf_exporter::security
