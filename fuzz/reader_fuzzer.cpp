// Feeds arbitrary file contents to the counter-line and value-line readers.
// The input is written to a file in a private temporary directory, then read
// back through every reader that parses a one-line file.
#include "sanperf.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string make_file_path() {
    char dir[] = "/tmp/sanperf-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return std::string(dir) + "/value";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = make_file_path();

    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    std::string empty;
    st_perf_stats::extract_string_from_file(path, empty);
    std::string preset = "x";
    if (!st_perf_stats::extract_string_from_file(path, preset)) std::abort();

    st_perf_stats stats;
    stats.initialize(path);
    st_property property;
    property.initialize(path);
    return 0;
}
