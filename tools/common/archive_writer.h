// Recording: one writer per archive appends samplings, keeps the archive
// within its retention, and continues an archive left by an earlier run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/archive_sampling.h"
#include "common/sqlite_db.h"

namespace sanperf_tools {

struct recording_settings {
    std::int64_t interval_ms = 10000;
    std::int64_t retain_age_ms = 0;  // 0: no limit
    std::uint64_t retain_size = 0;   // bytes, free pages and log included; 0: no limit
    std::optional<std::string> time_unit;
    std::string version;  // of the program, kept with each run
};

// Holds an exclusive lock on the archive for as long as it lives, so that
// one recorder at a time writes it.
class archive_lock {
public:
    // Creates path when missing. Throws archive_error when another process
    // holds the lock.
    explicit archive_lock(const std::string& path);
    ~archive_lock();
    archive_lock(const archive_lock&) = delete;
    archive_lock& operator=(const archive_lock&) = delete;

private:
    int fd_ = -1;
};

class archive_writer {
public:
    // Opens path for recording, creating the archive when the file is
    // missing or empty; refuses (archive_error) a file that is not an
    // archive, without writing it, and an archive another recorder holds.
    // Starts a run with settings.
    archive_writer(const std::string& path, const recording_settings& settings);

    // Appends the sampling snap, read when the wall clock said wall_ms and
    // the clock that never steps mono_ns, then drops what retention no
    // longer keeps. Throws sqlite_error (SQLITE_FULL for a full disk) with
    // the archive as it was: the next append goes on from the last one
    // stored.
    void append(const snapshot& snap, std::int64_t wall_ms, std::int64_t mono_ns);

    // Samplings stored since the start.
    std::int64_t appended() const { return appended_; }
    // Bytes the archive takes: its pages, free ones included, and its log.
    std::uint64_t size_on_disk();

    // A keyframe every this many samplings: reading any sampling decodes at
    // most this many frames.
    static constexpr std::int64_t keyframe_every = 128;

private:
    std::int64_t archive_time(std::int64_t wall_ms, std::int64_t mono_ns) const;
    void retain();
    bool drop_oldest_group(std::int64_t before_time_ms);

    std::string path_;
    archive_lock lock_;  // before db_: released after SQLite has closed the file
    database db_;
    recording_settings settings_;
    std::int64_t run_ = 0;
    std::int64_t next_seq_ = 1;
    std::int64_t since_keyframe_ = 0;     // samplings stored since the last keyframe
    std::optional<sampling_state> last_;  // the last sampling stored, when it found the tree
    bool last_in_run_ = false;            // the last sampling stored is of this run
    std::int64_t last_time_ms_ = 0, last_mono_ns_ = 0;
    std::int64_t appended_ = 0;
};

}  // namespace sanperf_tools
