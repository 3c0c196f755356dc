#include "common/archive_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/archive_reader.h"
#include "common/archive_schema.h"

namespace sanperf_tools {

namespace {

constexpr object_kind kinds[] = {object_kind::disk, object_kind::session, object_kind::socket};
constexpr int all_kinds = 7;

// path, once it is known to be an archive or a new one; created empty when
// missing, so that the lock can be taken on it.
const std::string& openable(const std::string& path) {
    check_archive_file(path, true);
    return path;
}

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

}  // namespace

archive_lock::archive_lock(const std::string& path) {
    fd_ = open(openable(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0640);
    if (fd_ < 0) throw archive_error(path + ": " + std::strerror(errno));
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd_);
        if (err == EWOULDBLOCK)
            throw archive_error(path +
                                ": another sanstat record is writing this archive; one recorder "
                                "per archive");
        throw archive_error(path + ": cannot lock: " + std::strerror(err));
    }
}

archive_lock::~archive_lock() { close(fd_); }

archive_writer::archive_writer(const std::string& path, const recording_settings& settings)
    : path_(path), lock_(path), db_(path, SQLITE_OPEN_READWRITE), settings_(settings) {
    // Checked again under the lock: another recorder may have created it.
    bool exists = check_archive_file(path, false);
    sqlite3_busy_timeout(db_.handle(), 1000);
    if (!exists)
        create_archive_schema(db_);
    else if (db_.integer("PRAGMA user_version") < archive_schema_version)
        // Frames of this version follow; older readers must refuse them.
        db_.exec(("PRAGMA user_version = " + std::to_string(archive_schema_version)).c_str());
    db_.exec("PRAGMA journal_mode = WAL");
    // Durable at each checkpoint: a crash loses at most the samplings since.
    db_.exec("PRAGMA synchronous = NORMAL");
    // The log is copied back into the file every few MiB, or every 1/16 of
    // a smaller retained size, so that it takes its share of that size only.
    std::int64_t page_size = db_.integer("PRAGMA page_size");
    std::uint64_t log_bytes = 4u << 20;
    if (settings.retain_size > 0)
        log_bytes = std::min<std::uint64_t>(log_bytes, settings.retain_size / 16);
    db_.exec(("PRAGMA wal_autocheckpoint = " +
              std::to_string(
                  std::max<std::uint64_t>(8, log_bytes / static_cast<std::uint64_t>(page_size))))
                 .c_str());
    db_.exec(("PRAGMA journal_size_limit = " + std::to_string(log_bytes)).c_str());

    statement last(db_,
                   "SELECT seq, run, time, mono, tree FROM samplings ORDER BY seq DESC LIMIT 1");
    if (last.step()) {
        next_seq_ = last.integer(0) + 1;
        last_time_ms_ = last.integer(2);
        // Lifetimes go on from the last sampling: an object still there
        // with counters that did not go back is the same one.
        if (last.integer(4) != 0) last_ = read_state(db_, last.integer(0), all_kinds);
    }
    statement run(db_,
                  "INSERT INTO runs (started, interval_ms, time_unit, host, version) "
                  "VALUES (?, ?, ?, ?, ?) RETURNING run");
    run.bind(1, static_cast<std::int64_t>(std::time(nullptr)) * 1000);
    run.bind(2, settings.interval_ms);
    if (settings.time_unit)
        run.bind(3, std::string_view(*settings.time_unit));
    else
        run.bind_null(3);
    run.bind(4, std::string_view(host_name()));
    run.bind(5, std::string_view(settings.version));
    if (!run.step()) throw archive_error(path + ": cannot start a run");
    run_ = run.integer(0);
}

std::int64_t archive_writer::archive_time(std::int64_t wall_ms, std::int64_t mono_ns) const {
    if (next_seq_ == 1) return wall_ms;
    if (!last_in_run_) return std::max(wall_ms, last_time_ms_ + 1);
    // The archive's time never goes back. After the wall clock stepped
    // back it runs at half speed until the wall clock has caught up.
    std::int64_t elapsed_ms = (mono_ns - last_mono_ns_) / 1000000;
    std::int64_t slowest = last_time_ms_ + std::max<std::int64_t>(1, elapsed_ms / 2);
    return std::max(wall_ms, slowest);
}

void archive_writer::append(const snapshot& snap, std::int64_t wall_ms, std::int64_t mono_ns) {
    const std::int64_t seq = next_seq_;
    const std::int64_t time_ms = archive_time(wall_ms, mono_ns);
    std::optional<sampling_state> now;
    if (snap.tree_found) now = state_of(snap, last_ ? &*last_ : nullptr, seq);
    // A keyframe starts every run, every return of the tree and every
    // keyframe_every samplings; the others are differences from the last.
    bool after_break = now && (!last_ || !last_in_run_);
    bool keyframe = after_break || (now && since_keyframe_ + 1 >= keyframe_every);
    {
        transaction t(db_);
        statement insert(db_,
                         "INSERT INTO samplings (seq, run, time, mono, tree, keyframe, disks, "
                         "sessions, sockets) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, seq);
        insert.bind(2, run_);
        insert.bind(3, time_ms);
        insert.bind(4, mono_ns);
        insert.bind(5, now ? now->tree : 0);
        insert.bind(6, after_break ? 2 : keyframe ? 1 : 0);
        const int found[] = {found_disks, found_sessions, found_sockets};
        for (object_kind kind : kinds) {
            int column = 7 + static_cast<int>(kind);
            if (!now || (now->tree & found[static_cast<int>(kind)]) == 0) {
                insert.bind_null(column);
                continue;
            }
            const kind_state* base = keyframe ? nullptr : &last_->of(kind);
            insert.bind(column, std::string_view(encode_frame(kind, base, now->of(kind), seq)));
        }
        insert.step();
        t.commit();
    }
    ++next_seq_;
    ++appended_;
    since_keyframe_ = keyframe ? 0 : since_keyframe_ + 1;
    last_ = std::move(now);
    last_in_run_ = true;
    last_time_ms_ = time_ms;
    last_mono_ns_ = mono_ns;
    retain();
}

std::uint64_t archive_writer::size_on_disk() {
    auto pages = static_cast<std::uint64_t>(db_.integer("PRAGMA page_count"));
    auto page_size = static_cast<std::uint64_t>(db_.integer("PRAGMA page_size"));
    struct stat wal {};
    std::uint64_t log =
        stat((path_ + "-wal").c_str(), &wal) == 0 ? static_cast<std::uint64_t>(wal.st_size) : 0;
    return pages * page_size + log;
}

// Deletes the samplings before the second keyframe when the first is older
// than before_time_ms: whole groups go, so every sampling left can still
// be decoded. False when there is nothing to drop.
bool archive_writer::drop_oldest_group(std::int64_t before_time_ms) {
    statement next(db_,
                   "SELECT seq, time FROM samplings WHERE (keyframe > 0 OR tree = 0) AND "
                   "keyframe > 0 AND seq > (SELECT min(seq) FROM samplings) ORDER BY seq "
                   "LIMIT 1");
    if (!next.step() || next.integer(1) > before_time_ms) return false;
    std::int64_t keep_from = next.integer(0);
    transaction t(db_);
    statement drop(db_, "DELETE FROM samplings WHERE seq < ?");
    drop.bind(1, keep_from);
    drop.step();
    db_.exec("DELETE FROM runs WHERE run NOT IN (SELECT DISTINCT run FROM samplings)");
    t.commit();
    return true;
}

void archive_writer::retain() {
    bool dropped = false;
    if (settings_.retain_age_ms > 0) {
        // A group goes once the keyframe after it is older than the age.
        while (drop_oldest_group(last_time_ms_ - settings_.retain_age_ms)) dropped = true;
    }
    if (settings_.retain_size > 0) {
        // The log first: copied back into the file, it shrinks to nothing.
        if (size_on_disk() > settings_.retain_size) db_.exec("PRAGMA wal_checkpoint(TRUNCATE)");
        for (int round = 0; round < 64 && size_on_disk() > settings_.retain_size; ++round) {
            if (!drop_oldest_group(last_time_ms_)) break;
            db_.exec("PRAGMA incremental_vacuum");
            db_.exec("PRAGMA wal_checkpoint(TRUNCATE)");
            dropped = false;
        }
    }
    if (dropped) db_.exec("PRAGMA incremental_vacuum");
}

}  // namespace sanperf_tools
