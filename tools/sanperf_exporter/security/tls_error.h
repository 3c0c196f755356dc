// Material that GnuTLS refused.
#pragma once

#include <stdexcept>

namespace sanperf_exporter::security {

// what() says why, without the file's name.
class tls_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace sanperf_exporter::security
