// Feeds arbitrary collect[] values (split at NUL bytes; the first byte says
// how many of the known collectors are enabled) to the decision of which
// collectors a scrape runs. It must accept exactly the requests that name
// enabled collectors only, set just their bits, and name the first refused
// value in its reason.
#include "sanperf_exporter/collectors/collect_query.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::vector<std::string> known = {"disk-queues", "sessions", "sockets", "toy"};
    // The first byte's low bits: which of the known collectors are enabled.
    std::vector<std::string> enabled;
    for (std::size_t i = 0; i < known.size(); ++i)
        if (data[0] >> i & 1) enabled.push_back(known[i]);
    std::vector<std::string> asked;
    if (size > 1) {
        asked.emplace_back();
        for (std::size_t i = 1; i < size; ++i) {
            if (data[i] == '\0')
                asked.emplace_back();
            else
                asked.back() += static_cast<char>(data[i]);
        }
    }

    sanperf_exporter::tree_reader::collector_set which = 0;
    std::string why;
    const bool ok = sanperf_exporter::collectors_asked(asked, enabled, known, which, why);

    sanperf_exporter::tree_reader::collector_set expected = 0;
    const std::string* refused = nullptr;
    for (const std::string& name : asked) {
        std::size_t i = 0;
        while (i < enabled.size() && enabled[i] != name) ++i;
        if (i == enabled.size()) {
            refused = &name;
            break;
        }
        expected |= 1u << i;
    }
    if (asked.empty()) expected = (1u << enabled.size()) - 1;
    if (ok != (refused == nullptr)) std::abort();
    if (ok && which != expected) std::abort();
    if (!ok && (why.size() < refused->size() ||
                why.compare(why.size() - refused->size(), refused->size(), *refused) != 0))
        std::abort();
    return 0;
}
