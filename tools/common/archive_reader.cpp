#include "common/archive_reader.h"

#include "common/archive_schema.h"

#include <algorithm>

namespace sanperf_tools {

namespace {

constexpr const char* meta_columns = "seq, run, time, mono, tree, keyframe FROM samplings ";

std::string meta_query(const char* rest) { return std::string("SELECT ") + meta_columns + rest; }

sampling_meta meta_of(const statement& st) {
    sampling_meta m;
    m.seq = st.integer(0);
    m.run = st.integer(1);
    m.time_ms = st.integer(2);
    m.mono_ns = st.integer(3);
    m.tree = static_cast<int>(st.integer(4));
    m.keyframe = static_cast<int>(st.integer(5));
    return m;
}

constexpr object_kind kinds[] = {object_kind::disk, object_kind::session, object_kind::socket};

int bit(object_kind kind) { return 1 << static_cast<int>(kind); }

// path, once it is known to be an archive this version reads.
const std::string& checked(const std::string& path) {
    check_archive_file(path, false);
    return path;
}

// Applies the frames of the row st holds (seq) over state. spare holds the
// buffers of the state before, reused for the next: a large tree's frames
// are decoded into memory already touched.
void apply_row(const statement& st, int mask, sampling_state& state, sampling_state& spare) {
    std::int64_t seq = st.integer(0);
    bool keyframe = st.integer(1) != 0;
    state.tree = static_cast<int>(st.integer(2));
    for (object_kind kind : kinds) {
        if ((mask & bit(kind)) == 0) continue;
        int column = 3 + static_cast<int>(kind);
        kind_state& k = state.of(kind);
        if (st.is_null(column)) {
            k.clear();
            continue;
        }
        kind_state& base = spare.of(kind);
        std::swap(base, k);
        decode_frame(kind, st.blob(column), keyframe ? nullptr : &base, k, seq);
    }
}

}  // namespace

double seconds_between(const sampling_meta& a, const sampling_meta& b) {
    if (a.run == b.run) return static_cast<double>(b.mono_ns - a.mono_ns) / 1e9;
    return static_cast<double>(b.time_ms - a.time_ms) / 1e3;
}

int kinds_of(const selection& sel) {
    return (sel.disks ? bit(object_kind::disk) : 0) |
           (sel.sessions ? bit(object_kind::session) : 0) |
           (sel.sockets ? bit(object_kind::socket) : 0);
}

sampling_state read_state(database& db, std::int64_t seq, int mask) {
    statement key(db,
                  "SELECT max(seq) FROM samplings WHERE (keyframe > 0 OR tree = 0) AND "
                  "keyframe > 0 AND seq <= ?");
    key.bind(1, seq);
    if (!key.step() || key.is_null(0))
        throw archive_error("the archive holds no keyframe before a sampling");
    std::int64_t from = key.integer(0);
    statement rows(db,
                   "SELECT seq, keyframe, tree, disks, sessions, sockets FROM samplings "
                   "WHERE seq BETWEEN ? AND ? ORDER BY seq");
    rows.bind(1, from);
    rows.bind(2, seq);
    sampling_state state, spare;
    std::int64_t expected = from;
    while (rows.step()) {
        if (rows.integer(0) != expected) throw archive_error("the archive lacks a sampling");
        apply_row(rows, mask, state, spare);
        ++expected;
    }
    if (expected != seq + 1) throw archive_error("the archive lacks a sampling");
    return state;
}

archive_reader::archive_reader(const std::string& path)
    : path_(path),
      db_(checked(path), SQLITE_OPEN_READONLY),
      first_(db_, meta_query("ORDER BY seq LIMIT 1").c_str()),
      last_(db_, meta_query("ORDER BY seq DESC LIMIT 1").c_str()),
      after_(db_, meta_query("WHERE time >= ? ORDER BY time LIMIT 1").c_str()),
      after_tree_(db_, meta_query("WHERE time >= ? AND tree != 0 ORDER BY time LIMIT 1").c_str()),
      before_(db_, meta_query("WHERE time <= ? ORDER BY time DESC LIMIT 1").c_str()),
      before_tree_(db_,
                   meta_query("WHERE time <= ? AND tree != 0 ORDER BY time DESC LIMIT 1").c_str()),
      breaks_(db_, meta_query("WHERE (keyframe > 0 OR tree = 0) AND seq > ? AND seq <= ? "
                              "ORDER BY seq")
                       .c_str()),
      by_seq_(db_, meta_query("WHERE seq = ?").c_str()) {
    sqlite3_busy_timeout(db_.handle(), 5000);
}

std::optional<sampling_meta> archive_reader::one(statement& st) {
    std::optional<sampling_meta> m;
    try {
        if (st.step()) m = meta_of(st);
    } catch (const sqlite_error& e) {
        st.reset();
        throw archive_error(std::string("cannot read the archive ") + e.what());
    }
    st.reset();
    return m;
}

std::optional<sampling_meta> archive_reader::first() { return one(first_); }
std::optional<sampling_meta> archive_reader::last() { return one(last_); }

std::optional<sampling_meta> archive_reader::at_or_after(std::int64_t time_ms, bool tree_only) {
    statement& st = tree_only ? after_tree_ : after_;
    st.bind(1, time_ms);
    return one(st);
}

std::optional<sampling_meta> archive_reader::at_or_before(std::int64_t time_ms, bool tree_only) {
    statement& st = tree_only ? before_tree_ : before_;
    st.bind(1, time_ms);
    return one(st);
}

std::optional<sampling_meta> archive_reader::by_seq(std::int64_t seq) {
    by_seq_.bind(1, seq);
    return one(by_seq_);
}

std::vector<sampling_meta> archive_reader::marks(std::int64_t after_seq, std::int64_t to_seq) {
    std::vector<sampling_meta> out;
    breaks_.bind(1, after_seq);
    breaks_.bind(2, to_seq);
    try {
        while (breaks_.step()) out.push_back(meta_of(breaks_));
    } catch (const sqlite_error& e) {
        breaks_.reset();
        throw archive_error(std::string("cannot read the archive ") + e.what());
    }
    breaks_.reset();
    return out;
}

std::vector<sampling_meta> archive_reader::breaks(std::int64_t after_seq, std::int64_t to_seq) {
    std::vector<sampling_meta> out = marks(after_seq, to_seq);
    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const sampling_meta& m) { return !m.breaks_series(); }),
              out.end());
    return out;
}

run_info archive_reader::run(std::int64_t run) {
    statement st(db_,
                 "SELECT started, interval_ms, time_unit, host, version FROM runs WHERE run = ?");
    st.bind(1, run);
    if (!st.step()) throw archive_error(path_ + ": lacks the record of a run of the recorder");
    run_info r;
    r.started_ms = st.integer(0);
    r.interval_ms = st.integer(1);
    if (!st.is_null(2)) r.time_unit = st.text(2);
    r.host = st.text(3);
    r.version = st.text(4);
    return r;
}

const sampling_state& archive_reader::load(const sampling_meta& m, int mask) {
    if (loaded_seq_ == m.seq && loaded_mask_ == mask) return loaded_;
    try {
        // Forward from the sampling loaded last when no keyframe lies
        // between: the frames in between are fewer than from the keyframe.
        bool forward = loaded_seq_ >= 0 && loaded_mask_ == mask && loaded_seq_ < m.seq &&
                       marks(loaded_seq_, m.seq).empty();
        if (!forward) {
            loaded_ = read_state(db_, m.seq, mask);
        } else {
            statement rows(db_,
                           "SELECT seq, keyframe, tree, disks, sessions, sockets FROM samplings "
                           "WHERE seq > ? AND seq <= ? ORDER BY seq");
            rows.bind(1, loaded_seq_);
            rows.bind(2, m.seq);
            std::int64_t expected = loaded_seq_ + 1;
            sampling_state spare;
            while (rows.step()) {
                if (rows.integer(0) != expected)
                    throw archive_error("the archive lacks a sampling");
                apply_row(rows, mask, loaded_, spare);
                ++expected;
            }
            if (expected != m.seq + 1) throw archive_error("the archive lacks a sampling");
        }
    } catch (const sqlite_error& e) {
        loaded_seq_ = -1;
        throw archive_error(std::string("cannot read the archive ") + e.what());
    } catch (const archive_error& e) {
        loaded_seq_ = -1;
        throw archive_error(path_ + ": " + e.what());
    }
    loaded_seq_ = m.seq;
    loaded_mask_ = mask;
    return loaded_;
}

}  // namespace sanperf_tools
