// The Authorization header of HTTP basic authentication, read strictly.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sanperf_exporter::security {

struct basic_credentials {
    std::string user;
    std::string password;
};

// The user and password of "Basic <base64 of user:password>", or nothing
// when the value is anything else: another scheme, base64 that is not in its
// one canonical form (bad characters, missing or misplaced padding, stray
// bits), no colon, a NUL byte anywhere, or a value longer than 4 KiB. The
// scheme name is case-insensitive; spaces and tabs around the value are
// allowed.
std::optional<basic_credentials> parse_basic_authorization(std::string_view value);

}  // namespace sanperf_exporter::security
