#include <fmt/chrono.h>
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "render.h"

namespace sanstat {

namespace {

using json = nlohmann::ordered_json;

json number_or_null(const std::optional<double>& v) {
    return v ? json(*v) : json(nullptr);
}

// The counter set's fields, named as the record's with prefix ("write_"...).
void put_counters(json& obj, const std::string& prefix, const counter_view& c, bool counts) {
    obj[prefix + "samples"] = c.samples;
    obj[prefix + "total_time"] = c.total_time;
    obj[prefix + "min_time"] = c.min_time;
    obj[prefix + "max_time"] = c.max_time;
    if (counts) {
        obj[prefix + "total_count"] = c.total_count;
        obj[prefix + "min_count"] = c.min_count;
        obj[prefix + "max_count"] = c.max_count;
    }
    obj[prefix + "samples_per_second"] = number_or_null(c.samples_per_second);
    obj[prefix + "avg_time"] = number_or_null(c.avg_time);
}

}  // namespace

std::string render_json(const report& r) {
    json doc;
    doc["report"] = r.sequence;
    doc["time"] = fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", fmt::gmtime(r.wall));
    doc["interval"] = number_or_null(r.seconds);
    if (r.disks_shown) {
        json list = json::array();
        for (const auto& d : r.disks) {
            json obj;
            obj["name"] = d.name;
            obj["totals"] = d.totals;
            put_counters(obj, "handler_", d.handler, true);
            put_counters(obj, "processing_", d.processing, true);
            obj["max_num_active"] = d.max_num_active;
            list.push_back(std::move(obj));
        }
        doc["disk_queues"] = std::move(list);
    }
    if (r.sessions_shown) {
        json list = json::array();
        for (const auto& s : r.sessions) {
            json obj;
            obj["id"] = s.id;
            obj["lba"] = s.lba;
            obj["totals"] = s.totals;
            put_counters(obj, "write_", s.write, false);
            put_counters(obj, "read_", s.read, false);
            list.push_back(std::move(obj));
        }
        doc["sessions"] = std::move(list);
    }
    if (r.sockets_shown) {
        json list = json::array();
        for (const auto& s : r.sockets) {
            json obj;
            obj["number"] = s.number;
            obj["totals"] = s.totals;
            for (int i = 0; i < 12; ++i) {
                json slot;
                put_counters(slot, "", s.slots[i], false);
                obj[socket_slot_names[i]] = std::move(slot);
            }
            list.push_back(std::move(obj));
        }
        doc["sockets"] = std::move(list);
    }
    return doc.dump() + "\n";
}

}  // namespace sanstat
