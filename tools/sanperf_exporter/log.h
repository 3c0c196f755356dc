// The daemon's log: one line per event on standard error, with a time, a
// level, a message and key=value fields, in logfmt or JSON as Prometheus
// exporters print them. No line per request; starting, stopping, failures
// and refusals only, and every event that a client can repeat at will goes
// through a rate_limited_log.
#pragma once

#include <chrono>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace sanperf_exporter {

enum class log_level { debug, info, warn, error };
enum class log_format { logfmt, json };

// Parses "debug", "info", "warn" or "error" / "logfmt" or "json".
bool parse_log_level(std::string_view text, log_level& level);
bool parse_log_format(std::string_view text, log_format& format);

// Sets the least level written and the format; call before threads start.
// Until then, info and above in logfmt.
void configure_log(log_level least, log_format format);

using log_field = std::pair<std::string_view, std::string_view>;
using log_fields = std::initializer_list<log_field>;

// One line: ts=2026-12-08T20:30:00.123Z level=info msg="..." key=value...
// written in one write(2), so lines from several threads never interleave.
// Nothing is written below the configured level. When standard error is the
// journal, the line starts with the level's journal priority.
void log(log_level level, std::string_view message, log_fields fields = {});

// The prefix journald reads a line's priority from ("<3>" error, "<4>"
// warn, "<6>" info, "<7>" debug) when standard error is the stream systemd
// named in JOURNAL_STREAM, so that `journalctl -p err` finds the errors;
// empty otherwise.
std::string_view journal_priority(log_level level);

// The same line as text, for tests: the time is given.
std::string format_log_line(log_format format, std::chrono::system_clock::time_point time,
                            log_level level, std::string_view message, log_fields fields);

// One kind of event that clients can cause as often as they like (refused
// connections, failed handshakes, wrong passwords...): at most one line per
// period, the rest counted, and the count written with the next line that
// goes out as suppressed=N. Thread-safe; one object per kind, living as
// long as anything logs through it.
class rate_limited_log {
public:
    using clock = std::chrono::steady_clock;
    explicit rate_limited_log(clock::duration period = std::chrono::seconds(1)) : period_(period) {}

    // Logs the line unless one went out less than a period before now (the
    // caller's clock::now(); tests give their own). Returns whether it did.
    bool log(clock::time_point now, log_level level, std::string_view message,
             log_fields fields = {});

private:
    const clock::duration period_;
    std::mutex mutex_;
    bool logged_ = false;
    clock::time_point last_{};
    unsigned long suppressed_ = 0;
};

}  // namespace sanperf_exporter
