// Feeds arbitrary text to the exporter's web configuration parser as if it
// were the file /nonexistent/web.yml. Every input must end in a parsed
// configuration or a config_error; any other exception, crash or leak is a
// finding. File names in the input that do exist are read (at most 1 MiB
// each); standard input is /dev/null so naming it cannot stall the run.
#include "sanperf_exporter/security/web_config.h"

#include <cstdint>
#include <cstdio>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "r", stdin) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        sanperf_exporter::security::parse_web_config(text, "/nonexistent/web.yml");
    } catch (const sanperf_exporter::security::config_error&) {}
    return 0;
}
