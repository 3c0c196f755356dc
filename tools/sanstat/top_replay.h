// sanstat top --archive: the full-screen view over the past, stepped with
// t and T, following the archive's end while the recorder writes it.
#pragma once

#include <cstdint>
#include <optional>

#include "common/archive_reader.h"
#include "common/time_unit.h"
#include "sanstat/options.h"
#include "sanstat/top_source.h"

namespace sanstat {

class archive_replay : public top_source {
public:
    // Opens opt.archive (archive_error for a file that is not one) and
    // starts at opt.begin_ms, or at the archive's first sampling.
    explicit archive_replay(const options& opt);

    // One step: the interval asked for, else the recorder's interval but
    // at least the live view's default.
    double step_seconds() const { return static_cast<double>(step_ms_) / 1000; }
    // The unit the recorder was told, if any.
    std::optional<sanperf_tools::time_unit> time_unit() const { return unit_; }

    const sanperf_tools::snapshot* now() const override { return now_ ? &*now_ : nullptr; }
    const sanperf_tools::snapshot* before() const override { return before_ ? &*before_ : nullptr; }
    std::string gap() const override { return gap_; }
    int sequence() const override { return sequence_; }
    bool alive() const override { return true; }
    void refresh() override;
    bool step(int direction) override;
    bool replay() const override { return true; }

private:
    // Shows the moment at_ms: the last sampling of the tree at or before it,
    // over the interval before.
    void show(std::int64_t at_ms);

    const options& opt_;
    sanperf_tools::archive_reader archive_;
    int mask_;
    std::optional<sanperf_tools::time_unit> unit_;
    std::int64_t step_ms_ = 0;
    std::int64_t at_ms_ = 0;
    bool following_ = false;  // at the archive's end: newer samplings are taken as they come
    std::optional<sanperf_tools::snapshot> now_, before_;
    std::string gap_;
    int sequence_ = 1;
};

}  // namespace sanstat
