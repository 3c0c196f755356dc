// The records the module hands out: named tuples, one class per kind of
// record, whose fields are those of the C++ records in their order. Each
// time field is followed by its twin in seconds (name ending "_seconds"):
// a float where the tree's time unit is known, None where it is not.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "common/interval.h"
#include "common/snapshot.h"
#include "common/time_unit.h"

namespace sanperf_python {

namespace py = pybind11;

// One record class: a collections.namedtuple subclass made at import.
struct record_type {
    py::object type;
    std::size_t fields = 0;
};

// The record classes of a snapshot's records and of a delta's rows.
struct record_types {
    record_type disk_queue, session, sock_stats, sock;
    record_type disk_queue_delta, session_delta, sock_stats_delta, sock_delta;
};

// Makes the record classes and adds them to module m.
record_types make_record_types(py::module_& m);

// Turns C++ records into Python records, durations in seconds by unit.
class converter {
public:
    converter(const record_types& types, const std::optional<sanperf_tools::time_unit>& unit)
        : types_(types), unit_(unit) {}

    py::object operator()(const disk_queue_info& d) const;
    py::object operator()(const session_info& s) const;
    py::object operator()(const sock_info& s) const;
    py::object operator()(const sanperf_tools::disk_row& r) const;
    py::object operator()(const sanperf_tools::session_row& r) const;
    py::object operator()(const sanperf_tools::socket_row& r) const;

private:
    const record_types& types_;
    std::optional<sanperf_tools::time_unit> unit_;
};

}  // namespace sanperf_python
