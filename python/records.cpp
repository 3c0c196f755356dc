#include "records.h"

#include <pybind11/stl.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/tree_layout.h"

namespace sanperf_python {

namespace {

namespace tools = sanperf_tools;

// The fields of each kind of record, in order, are written once, in the
// put_fields overloads below. They run once at import with a name_list, to
// make the record's class, and then with a builder for every record.

// Collects the field names.
struct name_list {
    std::vector<std::string> names;

    template <typename Value>
    void value(const char* prefix, const char* name, const Value&) {
        names.push_back(std::string(prefix) + name);
    }
    // A duration: stem_time in ticks, then stem_seconds.
    template <typename Ticks>
    void time(const char* prefix, const char* stem, const Ticks&) {
        names.push_back(std::string(prefix) + stem + "_time");
        names.push_back(std::string(prefix) + stem + "_seconds");
    }
    template <typename Record>
    void nested(const char* name, const record_type&, const Record&) {
        names.push_back(name);
    }
};

// Fills one record of a class, field by field, with no Python code run: the
// tuple is allocated as the class's own instance and its items set in place.
class builder {
public:
    builder(const record_type& type, const record_types& types,
            const std::optional<tools::time_unit>& unit)
        : types_(types), unit_(unit) {
        auto* cls = reinterpret_cast<PyTypeObject*>(type.type.ptr());
        record_ = py::reinterpret_steal<py::object>(
            cls->tp_alloc(cls, static_cast<Py_ssize_t>(type.fields)));
        if (!record_) throw py::error_already_set();
    }

    void value(const char*, const char*, long long v) { put(PyLong_FromLongLong(v)); }
    void value(const char*, const char*, unsigned v) { put(PyLong_FromUnsignedLong(v)); }
    void value(const char*, const char*, bool v) { put(py::bool_(v).release().ptr()); }
    void value(const char*, const char*, const std::string& v) {
        put(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
    }
    void value(const char*, const char*, const std::optional<double>& v) {
        put(v ? PyFloat_FromDouble(*v) : py::none().release().ptr());
    }
    void time(const char* prefix, const char* stem, long long ticks) {
        value(prefix, stem, ticks);
        seconds(static_cast<double>(ticks));
    }
    void time(const char* prefix, const char* stem, const std::optional<double>& ticks) {
        value(prefix, stem, ticks);
        if (ticks)
            seconds(*ticks);
        else
            put(py::none().release().ptr());
    }
    template <typename Record>
    void nested(const char*, const record_type& type, const Record& r);

    // The record, once every field is set. Its items are numbers, strings,
    // None and such records, which cannot form a cycle, so the collector
    // need not track it.
    py::object done() {
        PyObject_GC_UnTrack(record_.ptr());
        return std::move(record_);
    }

private:
    // Takes over item as the next field.
    void put(PyObject* item) {
        if (!item) throw py::error_already_set();
        PyTuple_SET_ITEM(record_.ptr(), next_++, item);
    }
    // Divided by the whole number of ticks in a second, so that 100 us
    // give 0.0001 s exactly as Python would write it.
    void seconds(double ticks) {
        put(unit_ ? PyFloat_FromDouble(ticks / std::round(1 / unit_->seconds_per_tick))
                  : py::none().release().ptr());
    }

    const record_types& types_;
    const std::optional<tools::time_unit>& unit_;
    py::object record_;
    Py_ssize_t next_ = 0;
};

// A counter set as the library's records hold it.
template <typename Out>
void put_counters(Out& out, const char* p, long long samples, long long total_time,
                  long long min_time, long long max_time) {
    out.value(p, "samples", samples);
    out.time(p, "total", total_time);
    out.time(p, "min", min_time);
    out.time(p, "max", max_time);
}

template <typename Out>
void put_fields(Out& out, const record_types&, const disk_queue_info& d) {
    out.value("", "name", d.name);
    put_counters(out, "handler_", d.handler_samples, d.handler_total_time, d.handler_min_time,
                 d.handler_max_time);
    out.value("handler_", "total_count", d.handler_total_count);
    out.value("handler_", "min_count", d.handler_min_count);
    out.value("handler_", "max_count", d.handler_max_count);
    put_counters(out, "processing_", d.processing_samples, d.processing_total_time,
                 d.processing_min_time, d.processing_max_time);
    out.value("processing_", "total_count", d.processing_total_count);
    out.value("processing_", "min_count", d.processing_min_count);
    out.value("processing_", "max_count", d.processing_max_count);
    out.value("", "max_num_active", d.max_num_active);
}

template <typename Out>
void put_fields(Out& out, const record_types&, const session_info& s) {
    out.value("", "id", s.id);
    out.value("", "lba", s.lba);
    put_counters(out, "write_", s.write_samples, s.write_total_time, s.write_min_time,
                 s.write_max_time);
    put_counters(out, "read_", s.read_samples, s.read_total_time, s.read_min_time, s.read_max_time);
}

template <typename Out>
void put_fields(Out& out, const record_types&, const sock_stats& s) {
    put_counters(out, "", s.samples, s.total_time, s.min_time, s.max_time);
}

template <typename Out>
void put_fields(Out& out, const record_types& types, const sock_info& s) {
    out.value("", "number", s.number);
    for (int i = 0; i < tools::socket_slot_count; ++i)
        out.nested(tools::socket_slot_names[i], types.sock_stats, s.stats[i]);
}

// A counter set over an interval, as sanstat's JSON report names its
// fields; counts says whether it has the disk queues' counts.
template <typename Out>
void put_view(Out& out, const char* p, const tools::counter_view& c, bool counts) {
    put_counters(out, p, c.samples, c.total_time, c.min_time, c.max_time);
    if (counts) {
        out.value(p, "total_count", c.total_count);
        out.value(p, "min_count", c.min_count);
        out.value(p, "max_count", c.max_count);
    }
    out.value(p, "samples_per_second", c.samples_per_second);
    out.time(p, "avg", c.avg_time);
}

template <typename Out>
void put_fields(Out& out, const record_types&, const tools::disk_row& r) {
    out.value("", "name", *r.name);
    out.value("", "totals", r.totals);
    put_view(out, "handler_", r.handler, true);
    put_view(out, "processing_", r.processing, true);
    out.value("", "max_num_active", r.max_num_active);
}

template <typename Out>
void put_fields(Out& out, const record_types&, const tools::session_row& r) {
    out.value("", "id", r.id);
    out.value("", "lba", r.lba);
    out.value("", "totals", r.totals);
    put_view(out, "write_", r.write, false);
    put_view(out, "read_", r.read, false);
}

// One slot of a socket's row: a counter_view of its own.
struct slot_view {
    const tools::counter_view& view;
};

template <typename Out>
void put_fields(Out& out, const record_types&, const slot_view& s) {
    put_view(out, "", s.view, false);
}

template <typename Out>
void put_fields(Out& out, const record_types& types, const tools::socket_row& r) {
    out.value("", "number", r.number);
    out.value("", "totals", r.totals);
    for (int i = 0; i < tools::socket_slot_count; ++i)
        out.nested(tools::socket_slot_names[i], types.sock_stats_delta, slot_view{r.slots[i]});
}

// The dict of a record's fields, records within it turned into dicts too:
// a socket's slots become nested dicts, as in sanstat's JSON report.
py::dict as_dict(const py::object& record) {
    py::dict out;
    py::tuple fields = record.attr("_fields");
    for (std::size_t i = 0; i < fields.size(); ++i) {
        py::object value = record[py::int_(i)];
        if (py::hasattr(value, "_asdict"))
            out[fields[i]] = as_dict(value);
        else
            out[fields[i]] = value;
    }
    return out;
}

template <typename Record>
void builder::nested(const char*, const record_type& type, const Record& r) {
    builder inner(type, types_, unit_);
    put_fields(inner, types_, r);
    put(inner.done().release().ptr());
}

// sample: any record of the kind, for its field names.
template <typename Record>
record_type make_type(py::module_& m, const record_types& types, const char* name, const char* doc,
                      bool nested_dict, const Record& sample = Record{}) {
    name_list fields;
    put_fields(fields, types, sample);
    py::object cls = py::module_::import("collections")
                         .attr("namedtuple")(name, fields.names, py::arg("module") = "sanperf");
    cls.attr("__doc__") = doc;
    if (nested_dict) {
        cls.attr("_asdict") = py::cpp_function(
            as_dict, py::is_method(cls), py::name("_asdict"),
            "The fields as a dict, each slot a dict of its own fields, as in sanstat's "
            "JSON report.");
    }
    m.attr(name) = cls;
    return {cls, fields.names.size()};
}

template <typename Record>
py::object build(const record_type& type, const record_types& types,
                 const std::optional<tools::time_unit>& unit, const Record& r) {
    builder out(type, types, unit);
    put_fields(out, types, r);
    return out.done();
}

}  // namespace

record_types make_record_types(py::module_& m) {
    static const std::string no_name;
    tools::disk_row disk_row;
    disk_row.name = &no_name;
    const tools::counter_view no_view;
    record_types t;
    t.disk_queue = make_type<disk_queue_info>(
        m, t, "DiskQueueInfo",
        "One disk queue as read: its handler and processing stages' counters, and "
        "max_num_active (a high-water mark).",
        false);
    t.session = make_type<session_info>(
        m, t, "SessionInfo",
        "One session as read: id, lba (a value, not a counter), and its write and read "
        "counters.",
        false);
    t.sock_stats = make_type<sock_stats>(m, t, "SockStats",
                                         "One slot of a socket as read: samples and times.", false);
    t.sock = make_type<sock_info>(
        m, t, "SockInfo", "One socket as read: its number and twelve slots, by name.", true);
    t.disk_queue_delta = make_type<tools::disk_row>(
        m, t, "DiskQueueDelta",
        "One disk queue over an interval. totals is True for a queue new since the earlier "
        "snapshot: its numbers are totals, and it has no rate.",
        false, disk_row);
    t.session_delta = make_type<tools::session_row>(
        m, t, "SessionDelta",
        "One session over an interval. totals is True for a session new since the earlier "
        "snapshot: its numbers are totals, and it has no rate.",
        false);
    t.sock_stats_delta =
        make_type<slot_view>(m, t, "SockStatsDelta", "One slot of a socket over an interval.",
                             false, slot_view{no_view});
    t.sock_delta = make_type<tools::socket_row>(
        m, t, "SockDelta",
        "One socket over an interval, its twelve slots by name. totals is True for a socket "
        "new since the earlier snapshot: its numbers are totals, and it has no rate.",
        true);
    return t;
}

py::object converter::operator()(const disk_queue_info& d) const {
    return build(types_.disk_queue, types_, unit_, d);
}
py::object converter::operator()(const session_info& s) const {
    return build(types_.session, types_, unit_, s);
}
py::object converter::operator()(const sock_info& s) const {
    return build(types_.sock, types_, unit_, s);
}
py::object converter::operator()(const tools::disk_row& r) const {
    return build(types_.disk_queue_delta, types_, unit_, r);
}
py::object converter::operator()(const tools::session_row& r) const {
    return build(types_.session_delta, types_, unit_, r);
}
py::object converter::operator()(const tools::socket_row& r) const {
    return build(types_.sock_delta, types_, unit_, r);
}

}  // namespace sanperf_python
