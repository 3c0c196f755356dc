#include "sanperf_exporter/collectors/registry.h"

#include "sanperf_exporter/options.h"

namespace sanperf_exporter {

const std::vector<collector_entry>& collector_registry() {
    static const std::vector<collector_entry> table = {
        {"disk-queues", true, "Export the disk queues", &make_disk_queue_collector},
        {"sessions", true, "Export the sessions", &make_session_collector},
        {"sockets", true, "Export the sockets", &make_socket_collector},
    };
    return table;
}

std::vector<named_collector> make_collectors(const options& opt) {
    std::vector<named_collector> out;
    for (const collector_entry& e : collector_registry())
        for (const std::string& name : opt.collectors)
            if (name == e.name) out.push_back({e.name, e.make(opt)});
    return out;
}

std::vector<std::string> collector_names() {
    std::vector<std::string> out;
    for (const collector_entry& e : collector_registry()) out.emplace_back(e.name);
    return out;
}

}  // namespace sanperf_exporter
