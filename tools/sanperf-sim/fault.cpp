#include "sanperf-sim/fault.h"

#include <cmath>
#include <regex>
#include <vector>

#include "common/time_unit.h"
#include "common/tree_layout.h"

namespace sanperf_sim {

namespace {

using namespace sanperf_tools;

// Splits text at every colon.
std::vector<std::string> fields_of(const std::string& text) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        auto colon = text.find(':', start);
        fields.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) return fields;
        start = colon + 1;
    }
}

// A duration in whole microseconds, as parse_duration reads it; beyond a
// trillion seconds it would not fit.
bool parse_duration_us(const std::string& text, std::uint64_t& us) {
    double seconds = 0;
    std::string unused;
    if (!parse_duration(text, seconds, unused) || seconds > 1e12) return false;
    us = static_cast<std::uint64_t>(std::llround(seconds * 1e6));
    return true;
}

// The index of name among names, or -1.
int index_of(const std::string& name, const char* const* names, int count) {
    for (int i = 0; i < count; ++i)
        if (name == names[i]) return i;
    return -1;
}

bool parse_target(const std::string& text, fault& f, std::string& error) {
    static const std::regex form(
        "(disk([0-9]{1,9})_([0-9]{1,9})|session([0-9]{1,9})|sock([0-9]{1,9}))"
        "(/([a-z_]+))?");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        error = "'" + text +
                "' names no disk queue (disk<d>_<q>), session (session<id>) or socket "
                "(sock<n>), with an optional /STREAM";
        return false;
    }
    static const char* const stages[] = {"handler", "processing"};
    static const char* const ops[] = {"read", "write"};
    const std::string stream = m[7];
    const char* const* streams = nullptr;
    int stream_count = 0;
    std::string streams_said;
    if (m[2].matched) {
        f.object = object_kind::disk_queue;
        f.disk = std::stoi(m[2]);
        f.queue = std::stoi(m[3]);
        if (f.disk < 1 || f.disk > disk_count || f.queue < 0 || f.queue >= queues_per_disk) {
            error = "'" + text + "': disks are 1 to " + std::to_string(disk_count) +
                    ", queues 0 to " + std::to_string(queues_per_disk - 1);
            return false;
        }
        streams = stages;
        stream_count = 2;
        streams_said = "handler or processing";
    } else {
        f.object = m[4].matched ? object_kind::session : object_kind::socket;
        f.number = static_cast<unsigned>(std::stoul(m[4].matched ? m[4] : m[5]));
        if (f.number == 0) {
            error = "'" + text + "': sessions and sockets are numbered from 1";
            return false;
        }
        if (m[4].matched) {
            streams = ops;
            stream_count = 2;
            streams_said = "read or write";
        } else {
            streams = socket_slot_names;
            stream_count = socket_slot_count;
            streams_said = "a socket slot such as wait_for_space";
        }
    }
    f.stream = all_streams;
    if (m[6].matched) {
        f.stream = index_of(stream, streams, stream_count);
        if (f.stream < 0) {
            error = "'" + text + "': the stream must be " + streams_said;
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_fault(const std::string& text, fault& f, std::string& error) {
    f = fault{};
    const std::vector<std::string> fields = fields_of(text);
    if (fields.size() < 2 || fields.size() > 3) {
        error = "a fault is TARGET:slow|busy[=VALUE][:after=DURATION], not '" + text + "'";
        return false;
    }
    if (!parse_target(fields[0], f, error)) return false;

    const std::string& kind = fields[1];
    const auto equals = kind.find('=');
    const std::string name = kind.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : kind.substr(equals + 1);
    const bool has_value = equals != std::string::npos;
    if (name == "slow") {
        f.kind = fault_kind::slow;
        f.value = default_slow_us;
        // At most a minute per operation; under 1us is no time at all.
        if (has_value &&
            (!parse_duration_us(value, f.value) || f.value == 0 || f.value > 60000000)) {
            error =
                "slow=" + value + ": the time per operation must be from 1us to 1m, as in 250ms";
            return false;
        }
    } else if (name == "busy") {
        f.kind = fault_kind::busy;
        f.value = default_busy_rate;
        static const std::regex rate("[1-9][0-9]{0,6}");
        if (has_value && (!std::regex_match(value, rate) || std::stoull(value) > 1000000)) {
            error = "busy=" + value + ": the rate must be from 1 to 1000000 operations per second";
            return false;
        }
        if (has_value) f.value = std::stoull(value);
    } else {
        error = "'" + kind + "': a fault is slow or busy";
        return false;
    }

    if (fields.size() == 3) {
        const std::string& when = fields[2];
        std::uint64_t us = 0;
        if (when.rfind("after=", 0) != 0 || !parse_duration_us(when.substr(6), us)) {
            error = "'" + when + "': the start of a fault is after=DURATION, as in after=30s";
            return false;
        }
        f.after_ms = us / 1000;
    }
    return true;
}

}  // namespace sanperf_sim
