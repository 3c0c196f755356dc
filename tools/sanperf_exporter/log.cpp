#include "log.h"

#include <unistd.h>

#include <string>

namespace sanperf_exporter {

void log_line(std::string_view text) {
    std::string line = "sanperf_exporter: ";
    line.append(text);
    line += '\n';
    // Nothing useful can be done when standard error itself fails.
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(STDERR_FILENO, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace sanperf_exporter
