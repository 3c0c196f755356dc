// Where sanstat's reports go and in which format, live or from an archive:
// standard output or a file replaced whole with each report.
#pragma once

#include <cstdint>
#include <string>

#include "common/sink.h"
#include "common/snapshot.h"
#include "sanstat/options.h"

namespace sanstat {

class report_output {
public:
    explicit report_output(const options& opt) : opt_(opt) {}

    // Report number sequence of now, over the interval since before when
    // there is one.
    void report(const sanperf_tools::snapshot& now, const sanperf_tools::snapshot* before,
                int sequence);
    // What stands for a report when the tree is not there (where names it):
    // one line, or one document, never rows of zeros.
    void absent(const sanperf_tools::snapshot& now, const std::string& where, int sequence);
    // What stands for the reports of a period the archive holds no sampling
    // of, from_ms to to_ms, and why.
    void gap(int sequence, std::int64_t from_ms, std::int64_t to_ms, const std::string& why);

private:
    // Hands render the output: the file, replaced whole, or standard output.
    template <typename Render>
    void write(Render render);

    const options& opt_;
    bool csv_header_written_ = false;
};

}  // namespace sanstat
