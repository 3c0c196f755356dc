// The Python module sanperf: the programs' snapshot layer (the same churn
// rules, threads and time unit as sanstat's) for Python callers.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "common/interval.h"
#include "common/snapshot.h"
#include "common/thread_pool.h"
#include "common/time_unit.h"
#include "common/tree_layout.h"
#include "records.h"

namespace {

namespace py = pybind11;
namespace tools = sanperf_tools;
using sanperf_python::converter;
using sanperf_python::record_types;

// Made once at import; the module keeps its classes alive.
const record_types* types = nullptr;

// The unit SANPERF_TIME_UNIT names, as sanstat takes it; ValueError for a
// value that names none.
std::optional<tools::time_unit> current_time_unit() {
    std::optional<tools::time_unit> unit;
    std::string error;
    if (!tools::resolve_time_unit(std::nullopt, unit, error)) throw py::value_error(error);
    return unit;
}

py::object unit_name(const std::optional<tools::time_unit>& unit) {
    return unit ? py::object(py::str(unit->name)) : py::object(py::none());
}

// The number of threads a caller asks for: None for the programs' default.
unsigned thread_count(const py::object& threads) {
    if (threads.is_none()) return tools::default_threads();
    if (!PyLong_Check(threads.ptr()) || PyBool_Check(threads.ptr()))
        throw py::type_error("threads must be an int or None, not " +
                             std::string(py::str(py::type::of(threads).attr("__name__"))));
    long long n = PyLong_AsLongLong(threads.ptr());
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();  // out of range: refused below
    if (n < 1 || n > static_cast<long long>(tools::max_threads))
        throw py::value_error("threads must be between 1 and " +
                              std::to_string(tools::max_threads) + ", not " +
                              std::string(py::str(threads)));
    return static_cast<unsigned>(n);
}

template <typename Records, typename Convert>
py::list to_list(const Records& records, Convert convert) {
    py::list out(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), convert(records[i]).release().ptr());
    return out;
}

std::string utc_text(double time) {
    std::time_t whole = static_cast<std::time_t>(time);
    std::tm tm{};
    gmtime_r(&whole, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A reading of the tree: the C++ snapshot, for deltas, and its records.
struct snapshot_object {
    std::shared_ptr<const tools::snapshot> data;
    double time = 0;
    std::optional<tools::time_unit> unit;
    py::list disk_queues, sessions, sockets;
};

struct delta_object {
    double time = 0;
    std::optional<double> interval;
    std::optional<tools::time_unit> unit;
    py::list disk_queues, sessions, sockets;
};

// Reads the chosen blocks now, with the GIL released while the tree is
// read; FileNotFoundError when the tree is not there at all.
snapshot_object take(const tools::selection& sel, unsigned threads) {
    snapshot_object out;
    out.unit = current_time_unit();
    std::optional<tools::thread_pool> pool;
    if (threads > 1) {
        try {
            pool.emplace(threads);
        } catch (const std::system_error& e) {
            PyErr_SetObject(
                PyExc_OSError,
                py::make_tuple(e.code().value(), "cannot start " + std::to_string(threads) +
                                                     " threads to read the tree")
                    .ptr());
            throw py::error_already_set();
        }
    }
    tools::snapshot snap;
    {
        py::gil_scoped_release released;
        out.time =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        snap = tools::take_snapshot(sel, pool ? &*pool : nullptr);
        pool.reset();  // its threads end here, not while the GIL is held
    }
    if (!snap.tree_found) {
        const char* root = "/sys/kernel";
        PyErr_SetObject(PyExc_FileNotFoundError,
                        py::make_tuple(ENOENT,
                                       std::string("no SAN server statistics: none of "
                                                   "disk_queue/, session/ and sock/ in ") +
                                           root,
                                       root)
                            .ptr());
        throw py::error_already_set();
    }
    converter convert(*types, out.unit);
    out.disk_queues = to_list(snap.disks, convert);
    out.sessions = to_list(snap.sessions, convert);
    out.sockets = to_list(snap.sockets, convert);
    out.data = std::make_shared<const tools::snapshot>(std::move(snap));
    return out;
}

// What happened between two snapshots, by sanstat's interval rules.
delta_object make_delta(const snapshot_object* earlier, const snapshot_object& later) {
    if (earlier && later.data->taken < earlier->data->taken)
        throw py::value_error("delta(earlier, later): later was taken before earlier");
    tools::interval iv(earlier ? earlier->data.get() : nullptr, *later.data);
    delta_object out;
    out.time = later.time;
    out.interval = iv.seconds();
    out.unit = later.unit;
    converter convert(*types, later.unit);
    const tools::snapshot& now = *later.data;
    out.disk_queues = to_list(now.disks, [&](const auto& d) { return convert(iv.disk(d)); });
    out.sessions = to_list(now.sessions, [&](const auto& s) { return convert(iv.session(s)); });
    out.sockets = to_list(now.sockets, [&](const auto& s) { return convert(iv.socket(s)); });
    return out;
}

tools::selection choose(bool disk_queues, bool sessions, bool sockets) {
    tools::selection sel;
    sel.disks = disk_queues;
    sel.sessions = sessions;
    sel.sockets = sockets;
    return sel;
}

// Samples the tree on demand, each sample against the one before.
class sampler {
public:
    sampler(bool disk_queues, bool sessions, bool sockets, const py::object& threads)
        : sel_(choose(disk_queues, sessions, sockets)), threads_(thread_count(threads)) {}

    delta_object next() {
        std::optional<snapshot_object> now;
        try {
            now = take(sel_, threads_);
        } catch (...) {
            // As in sanstat: after a read that failed, the next starts
            // afresh with totals.
            previous_.reset();
            throw;
        }
        delta_object d = make_delta(previous_ ? &*previous_ : nullptr, *now);
        previous_ = std::move(now);
        return d;
    }

private:
    tools::selection sel_;
    unsigned threads_;
    std::optional<snapshot_object> previous_;
};

std::string count_new(const py::list& rows) {
    std::size_t fresh = 0;
    for (const py::handle row : rows)
        if (row.attr("totals").cast<bool>()) ++fresh;
    return fresh ? " (" + std::to_string(fresh) + " new)" : "";
}

constexpr const char* blocks_doc =
    "disk_queues, sessions and sockets choose the blocks read; a block not chosen is "
    "not read, and its list is empty. threads: how many threads read the sessions and "
    "sockets (None: the cores available, at most 8, as sanstat's --threads).";

}  // namespace

PYBIND11_MODULE(_sanperf, m) {
    m.doc() =
        "The SAN storage server's performance counters: disk queues, sessions and sockets, "
        "read from /sys/kernel as sanstat reads them.";
    static const record_types made = sanperf_python::make_record_types(m);
    types = &made;

    py::tuple slots(tools::socket_slot_count);
    for (int i = 0; i < tools::socket_slot_count; ++i)
        slots[static_cast<std::size_t>(i)] = tools::socket_slot_names[i];
    m.attr("SOCKET_SLOTS") = slots;

    py::class_<snapshot_object>(
        m, "Snapshot",
        "One reading of the tree. Sessions and sockets that vanished while they were read "
        "are left out. Times are in the tree's ticks; each has a twin in seconds (None when "
        "the time unit is not known).")
        .def_readonly("time", &snapshot_object::time,
                      "When the read began, in seconds since the epoch, as time.time().")
        .def_property_readonly(
            "time_unit", [](const snapshot_object& s) { return unit_name(s.unit); },
            "The unit of the tree's times: 'ns', 'us', 'ms', 's', or None when not known.")
        .def_readonly("disk_queues", &snapshot_object::disk_queues,
                      "DiskQueueInfo records, disk1_0 ... disk4_7.")
        .def_readonly("sessions", &snapshot_object::sessions,
                      "SessionInfo records, in listing order.")
        .def_readonly("sockets", &snapshot_object::sockets, "SockInfo records, in listing order.")
        .def("__repr__", [](const snapshot_object& s) {
            return "<sanperf.Snapshot at " + utc_text(s.time) + ": " +
                   std::to_string(s.disk_queues.size()) + " disk queues, " +
                   std::to_string(s.sessions.size()) + " sessions, " +
                   std::to_string(s.sockets.size()) + " sockets, time unit " +
                   std::string(py::repr(unit_name(s.unit))) + ">";
        });

    py::class_<delta_object>(
        m, "Delta",
        "What happened between two snapshots, object by object, by sanstat's interval rules: "
        "an object new since the earlier snapshot has totals True and no rate; one that "
        "vanished is left out; a counter that went back (an object replaced under the same "
        "number) counts from zero; an average is time over samples.")
        .def_readonly("time", &delta_object::time, "When the later snapshot's read began.")
        .def_readonly("interval", &delta_object::interval,
                      "Seconds between the two snapshots; None without an earlier one.")
        .def_property_readonly(
            "time_unit", [](const delta_object& d) { return unit_name(d.unit); },
            "The later snapshot's time unit, in which the seconds are reckoned.")
        .def_readonly("disk_queues", &delta_object::disk_queues, "DiskQueueDelta records.")
        .def_readonly("sessions", &delta_object::sessions,
                      "SessionDelta records, in the later snapshot's order.")
        .def_readonly("sockets", &delta_object::sockets,
                      "SockDelta records, in the later snapshot's order.")
        .def("__repr__", [](const delta_object& d) {
            std::string over =
                d.interval ? "over " + std::to_string(*d.interval) + " s" : "of totals";
            return "<sanperf.Delta " + over + " to " + utc_text(d.time) + ": " +
                   std::to_string(d.disk_queues.size()) + " disk queues" +
                   count_new(d.disk_queues) + ", " + std::to_string(d.sessions.size()) +
                   " sessions" + count_new(d.sessions) + ", " + std::to_string(d.sockets.size()) +
                   " sockets" + count_new(d.sockets) + ">";
        });

    m.def(
        "snapshot",
        [](bool disk_queues, bool sessions, bool sockets, const py::object& threads) {
            return take(choose(disk_queues, sessions, sockets), thread_count(threads));
        },
        py::kw_only(), py::arg("disk_queues").noconvert() = true,
        py::arg("sessions").noconvert() = true, py::arg("sockets").noconvert() = true,
        py::arg("threads") = py::none(),
        (std::string("Reads the server's counters now and returns a Snapshot. ") + blocks_doc +
         " Raises FileNotFoundError when /sys/kernel holds none of disk_queue/, session/ and "
         "sock/, and ValueError when SANPERF_TIME_UNIT names no unit.")
            .c_str());

    m.def(
        "delta",
        [](const snapshot_object* earlier, const snapshot_object& later) {
            return make_delta(earlier, later);
        },
        py::arg("earlier").none(true), py::arg("later"),
        "The rates and averages between two snapshots, as a Delta: sanstat's interval report. "
        "earlier None gives the totals of later, as sanstat's first report. Raises ValueError "
        "when later was taken before earlier.");

    m.def(
        "time_unit", [] { return unit_name(current_time_unit()); },
        "The unit SANPERF_TIME_UNIT names ('ns', 'us', 'ms' or 's'), or None when it is unset "
        "or empty. Raises ValueError when it names no unit: a wrong setting is refused, never "
        "guessed.");

    py::class_<sampler>(m, "Sampler",
                        "Samples the tree on demand: each next() reads it and returns the Delta "
                        "since the previous one; the first, and the first after a failed read, "
                        "give totals, as sanstat's first report does.")
        .def(py::init<bool, bool, bool, const py::object&>(), py::kw_only(),
             py::arg("disk_queues").noconvert() = true, py::arg("sessions").noconvert() = true,
             py::arg("sockets").noconvert() = true, py::arg("threads") = py::none(), blocks_doc)
        .def("next", &sampler::next,
             "Reads the tree now and returns the Delta since the previous read. Raises as "
             "snapshot() does.");
}
