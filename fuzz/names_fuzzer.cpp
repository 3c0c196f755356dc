// Feeds arbitrary directory names to the listing filters, the numeric
// ordering and the socket number parser, which must agree with strtol. The
// input is split at its first NUL byte into two names, each cut to fit a
// dirent's name field.
#include "sanperf.h"

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Fills entry's name from data, NUL-terminated within d_name.
void set_name(dirent& entry, const std::uint8_t* data, std::size_t size) {
    std::memset(&entry, 0, sizeof entry);
    std::size_t n = std::min(size, sizeof entry.d_name - 1);
    std::memcpy(entry.d_name, data, n);
}

int sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static socket_performance_info sockets;

    const std::uint8_t* split = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    std::size_t first_size = split != nullptr ? static_cast<std::size_t>(split - data) : size;
    std::size_t rest = split != nullptr ? size - first_size - 1 : 0;

    dirent a;
    dirent b;
    set_name(a, data, first_size);
    set_name(b, split != nullptr ? split + 1 : data, rest);

    for (const dirent* e : {&a, &b}) {
        int s = session_scandir_select(e);
        int k = socket_scandir_select(e);
        if ((s != 0 && s != 1) || (k != 0 && k != 1)) std::abort();
        if (s != (std::strncmp(e->d_name, "session", 7) == 0)) std::abort();
        if (k != (std::strncmp(e->d_name, "sock", 4) == 0)) std::abort();
        // The socket number must be what strtol makes of the first run of
        // digits, cut to 32 bits.
        const char* digits = e->d_name + std::strcspn(e->d_name, "0123456789");
        unsigned int number =
            *digits == '\0' ? 0 : static_cast<unsigned int>(std::strtol(digits, nullptr, 10));
        if (sockets.socket_name_to_number(e->d_name) != number) std::abort();
    }

    const dirent* pa = &a;
    const dirent* pb = &b;
    if (sign(dirname_sort(&pa, &pb)) != -sign(dirname_sort(&pb, &pa))) std::abort();
    if (dirname_sort(&pa, &pa) != 0) std::abort();
    return 0;
}
