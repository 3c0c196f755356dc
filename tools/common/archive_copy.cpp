#include "common/archive_copy.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/archive_schema.h"
#include "common/sqlite_db.h"

namespace sanperf_tools {

namespace {

constexpr object_kind kinds[] = {object_kind::disk, object_kind::session, object_kind::socket};
constexpr int all_kinds = 7;

// Removes the file at path unless released: a copy cut short leaves nothing.
class removal {
public:
    explicit removal(std::string path) : path_(std::move(path)) {}
    ~removal() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    void release() { path_.clear(); }

private:
    std::string path_;
};

}  // namespace

std::int64_t copy_window(archive_reader& source, std::int64_t from_seq, std::int64_t to_seq,
                         const std::string& out) {
    struct stat st {};
    if (lstat(out.c_str(), &st) == 0) throw archive_error(out + ": exists; not overwritten");
    const std::string temporary = out + ".part";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw archive_error(temporary + ": " + std::strerror(errno));
    close(fd);
    removal cleanup(temporary);
    std::int64_t copied = 0;
    try {
        database db(temporary, SQLITE_OPEN_READWRITE);
        db.exec("PRAGMA journal_mode = DELETE");
        create_archive_schema(db);
        transaction t(db);
        statement run(db,
                      "INSERT OR IGNORE INTO runs (run, started, interval_ms, time_unit, host, "
                      "version) VALUES (?, ?, ?, ?, ?, ?)");
        statement insert(db,
                         "INSERT INTO samplings (seq, run, time, mono, tree, keyframe, disks, "
                         "sessions, sockets) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        std::optional<sampling_state> last;
        for (std::int64_t seq = from_seq; seq <= to_seq; ++seq) {
            std::optional<sampling_meta> m = source.by_seq(seq);
            if (!m) throw archive_error(source.path() + ": lacks a sampling of the window");
            run_info r = source.run(m->run);
            run.bind(1, m->run);
            run.bind(2, r.started_ms);
            run.bind(3, r.interval_ms);
            if (r.time_unit)
                run.bind(4, std::string_view(*r.time_unit));
            else
                run.bind_null(4);
            run.bind(5, std::string_view(r.host));
            run.bind(6, std::string_view(r.version));
            run.step();
            run.reset();
            std::optional<sampling_state> now;
            if (m->tree != 0) now = source.load(*m, all_kinds);
            // The copy's first sampling has nothing before it: a keyframe.
            bool keyframe = now && (m->keyframe > 0 || !last);
            insert.bind(1, m->seq);
            insert.bind(2, m->run);
            insert.bind(3, m->time_ms);
            insert.bind(4, m->mono_ns);
            insert.bind(5, m->tree);
            insert.bind(6, now ? (m->keyframe == 2 ? 2 : keyframe ? 1 : 0) : 0);
            for (object_kind kind : kinds) {
                int column = 7 + static_cast<int>(kind);
                if (!now) {
                    insert.bind_null(column);
                    continue;
                }
                const kind_state* base = keyframe ? nullptr : &last->of(kind);
                insert.bind(column, std::string_view(encode_frame(kind, base, now->of(kind), seq)));
            }
            insert.step();
            insert.reset();
            last = std::move(now);
            ++copied;
        }
        t.commit();
    } catch (const sqlite_error& e) {
        throw archive_error(std::string("cannot write ") + e.what());
    }
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, out.c_str(), RENAME_NOREPLACE) != 0)
        throw archive_error(out + ": " + std::strerror(errno));
    cleanup.release();
    return copied;
}

}  // namespace sanperf_tools
