// Reading an archive: which samplings it holds when, and the state of any
// of them, decoded from the keyframe before it. Opens the file read-only:
// a reader never writes it and never holds the recorder up for longer than
// one query.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/archive_sampling.h"
#include "common/sqlite_db.h"

namespace sanperf_tools {

// What the archive says about a sampling, without its values.
struct sampling_meta {
    std::int64_t seq = 0;
    std::int64_t run = 0;      // one per start of the recorder
    std::int64_t time_ms = 0;  // the archive's time, milliseconds since the epoch; never goes back
    std::int64_t mono_ns = 0;  // a clock that never steps, within its run
    int tree = 0;              // found_* bits; 0: the tree was missing
    int keyframe = 0;          // 0: a difference; 1: a keyframe; 2: one after a break

    // The series breaks here: the tree is missing, or found again after the
    // recorder started or the tree came back.
    bool breaks_series() const { return tree == 0 || keyframe == 2; }
};

// A start of the recorder, as the archive keeps it.
struct run_info {
    std::int64_t started_ms = 0;
    std::int64_t interval_ms = 0;          // between samplings
    std::optional<std::string> time_unit;  // as the recorder was told
    std::string host, version;
};

// Seconds between two samplings: by the clock that never steps when they
// are of the same run, else by the archive's time.
double seconds_between(const sampling_meta& a, const sampling_meta& b);

// Which kinds a selection reads, as a mask of 1 << object_kind.
int kinds_of(const selection& sel);

// The state of sampling seq in db, decoded from its keyframe, of the kinds
// in mask. Throws archive_error when the archive does not hold it whole.
sampling_state read_state(database& db, std::int64_t seq, int mask);

class archive_reader {
public:
    // Throws archive_error for a file that is not an archive this version
    // reads (check_archive_file), or that SQLite cannot read.
    explicit archive_reader(const std::string& path);

    const std::string& path() const { return path_; }
    std::optional<sampling_meta> first();
    std::optional<sampling_meta> last();
    // The first sampling at or after time_ms, or the last at or before it;
    // with tree_only, only samplings that found the tree.
    std::optional<sampling_meta> at_or_after(std::int64_t time_ms, bool tree_only);
    std::optional<sampling_meta> at_or_before(std::int64_t time_ms, bool tree_only);
    // The samplings after a and up to b that break the series: a start of
    // the recorder, a tree found again, a tree missing.
    std::vector<sampling_meta> breaks(std::int64_t after_seq, std::int64_t to_seq);
    std::optional<sampling_meta> by_seq(std::int64_t seq);
    // What the archive keeps of run; throws archive_error when it has none.
    run_info run(std::int64_t run);

    // The state of sampling m, of the kinds in mask. Reading forward from
    // the sampling loaded last applies only the frames in between.
    const sampling_state& load(const sampling_meta& m, int mask);

private:
    std::optional<sampling_meta> one(statement& st);
    // The keyframes and samplings without the tree after a and up to b.
    std::vector<sampling_meta> marks(std::int64_t after_seq, std::int64_t to_seq);

    std::string path_;
    database db_;
    statement first_, last_, after_, after_tree_, before_, before_tree_, breaks_, by_seq_;
    std::int64_t loaded_seq_ = -1;
    int loaded_mask_ = 0;
    sampling_state loaded_;
};

}  // namespace sanperf_tools
