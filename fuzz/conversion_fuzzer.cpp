// Checks the library's reading of a statistics file against the reference it
// must equal: the first line of the file, cut at 65,536 bytes, taken from its
// first ASCII letter or digit (a single blank when it has none), converted by
// sscanf. Each input is written to a file and read through
// extract_string_from_file, st_perf_stats::initialize and
// st_property::initialize; any difference aborts.
//
// The counter set and the property start from values read from another file,
// all non-zero, so that a number the line does not convert must show its old
// value.
#include "sanperf.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr std::size_t max_line_bytes = 65536;

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::abort();
}

// The input file, kept open for writing, and a file of previous values, in a
// private directory removed at exit.
struct files {
    std::string dir;
    std::string input;
    std::string previous;
    int input_fd = -1;

    files() {
        // Memory-backed when possible: truncating a file on disk costs more
        // than the rest of a run.
        dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        dir += "/sanperf-fuzz-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr) fail("mkdtemp");
        input = dir + "/value";
        input_fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (input_fd < 0) fail("open");
        previous = dir + "/previous";
        std::FILE* p = std::fopen(previous.c_str(), "w");
        if (p == nullptr || std::fputs("11 22 33 44 55 66 77\n", p) < 0 || std::fclose(p) != 0)
            fail("previous");
    }
    ~files() {
        close(input_fd);
        unlink(input.c_str());
        unlink(previous.c_str());
        rmdir(dir.c_str());
    }
    files(const files&) = delete;
    files& operator=(const files&) = delete;
};

bool ascii_letter_or_digit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// What the reader must hand out for these file contents.
std::string reference_text(const std::string& contents) {
    std::string line = contents.substr(0, contents.find('\n'));
    line.resize(std::min(line.size(), max_line_bytes));
    std::size_t first = 0;
    while (first < line.size() && !ascii_letter_or_digit(line[first])) ++first;
    return first == line.size() ? " " : line.substr(first);
}

void check(bool same, const char* what) {
    if (!same) {
        std::fprintf(stderr, "differs from the reference: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const files f;
    static st_perf_stats previous_stats(f.previous);
    static st_property previous_property(f.previous);

    if (ftruncate(f.input_fd, 0) != 0) fail("ftruncate");
    if (size != 0 && pwrite(f.input_fd, data, size, 0) != static_cast<ssize_t>(size))
        fail("pwrite");

    const std::string text = reference_text(std::string(reinterpret_cast<const char*>(data), size));

    std::string out;
    check(st_perf_stats::extract_string_from_file(f.input, out), "result of the reader");
    check(out == text, "text of the reader");

    // sscanf stops at the first NUL of the text, as it would on c_str().
    long long want[7] = {11, 22, 33, 44, 55, 66, 77};
    std::sscanf(text.c_str(), "%lld %lld %lld %lld %lld %lld %lld", &want[0], &want[1], &want[2],
                &want[3], &want[4], &want[5], &want[6]);
    st_perf_stats stats = previous_stats;
    check(stats.get_samples() == 11 && stats.get_min_time() == 77, "previous counters");
    stats.initialize(f.input);
    const long long got[7] = {stats.get_samples(),   stats.get_total_count(), stats.get_max_count(),
                              stats.get_min_count(), stats.get_total_time(),  stats.get_max_time(),
                              stats.get_min_time()};
    for (int i = 0; i < 7; ++i) check(got[i] == want[i], "counter set");

    long long value = 11;
    std::sscanf(text.c_str(), "%lld", &value);
    st_property property = previous_property;
    check(property.get_value() == 11, "previous value");
    property.initialize(f.input);
    check(property.get_value() == value, "property");
    return 0;
}
