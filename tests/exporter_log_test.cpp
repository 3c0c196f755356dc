// The exporter's log lines: their text in both formats, the level filter,
// and the rate limit that keeps a client from flooding the log.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sanperf_exporter/log.h"

namespace {

using namespace sanperf_exporter;
using namespace std::chrono;

// 2026-12-08T20:30:00.123Z
const system_clock::time_point when =
    system_clock::time_point(seconds(1796761800)) + milliseconds(123);

TEST(LogLine, LogfmtQuotesOnlyWhatWouldBreakTheLineApart) {
    EXPECT_EQ(format_log_line(log_format::logfmt, when, log_level::info, "stopped", {}),
              "ts=2026-12-08T20:30:00.123Z level=info msg=stopped\n");
    EXPECT_EQ(format_log_line(log_format::logfmt, when, log_level::warn, "refused a client",
                              {{"client", "127.0.0.2"},
                               {"err", "say \"hi\"\n\\"},
                               {"empty", ""},
                               {"eq", "a=b"},
                               {"bad key", "\x01"}}),
              "ts=2026-12-08T20:30:00.123Z level=warn msg=\"refused a client\" client=127.0.0.2 "
              "err=\"say \\\"hi\\\"\\n\\\\\" empty=\"\" eq=\"a=b\" bad_key=\"\\u0001\"\n");
}

TEST(LogLine, JsonIsOneValidObjectEvenForJunkBytes) {
    EXPECT_EQ(
        format_log_line(log_format::json, when, log_level::error, "failed \"x\"",
                        {{"err", "line\nbreak"}, {"junk", "\xff"}}),
        "{\"ts\":\"2026-12-08T20:30:00.123Z\",\"level\":\"error\",\"msg\":\"failed \\\"x\\\"\","
        "\"err\":\"line\\nbreak\",\"junk\":\"\xef\xbf\xbd\"}\n");
}

TEST(LogLine, LevelsAndFormatsParseOnlyTheirNames) {
    log_level level = log_level::info;
    EXPECT_TRUE(parse_log_level("debug", level));
    EXPECT_EQ(level, log_level::debug);
    EXPECT_TRUE(parse_log_level("error", level));
    EXPECT_EQ(level, log_level::error);
    EXPECT_FALSE(parse_log_level("warning", level));
    EXPECT_FALSE(parse_log_level("INFO", level));
    log_format format = log_format::logfmt;
    EXPECT_TRUE(parse_log_format("json", format));
    EXPECT_EQ(format, log_format::json);
    EXPECT_FALSE(parse_log_format("text", format));
}

// Standard error captured in a file for the test's length.
class captured_stderr {
public:
    captured_stderr() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        char name[] = "/tmp/sanperf-log-XXXXXX";
        file_ = mkstemp(name);
        unlink(name);
        dup2(file_, STDERR_FILENO);
    }
    ~captured_stderr() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(file_);
    }
    std::string text() const {
        std::string out;
        char buffer[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(file_, buffer, sizeof buffer, at)) > 0; at += n)
            out.append(buffer, static_cast<std::size_t>(n));
        return out;
    }

    // JOURNAL_STREAM's "DEVICE:INODE" naming the capture file.
    std::string stream_id() const {
        struct stat st {};
        fstat(file_, &st);
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }

private:
    int saved_ = -1;
    int file_ = -1;
};

int lines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

TEST(Log, LinesBelowTheLeastLevelAreLeftOut) {
    captured_stderr err;
    configure_log(log_level::warn, log_format::logfmt);
    log(log_level::info, "not written");
    log(log_level::debug, "not written");
    log(log_level::warn, "written");
    log(log_level::error, "written too");
    configure_log(log_level::info, log_format::logfmt);
    const std::string text = err.text();
    EXPECT_EQ(lines(text), 2) << text;
    EXPECT_EQ(text.find("not written"), std::string::npos) << text;
}

// journald takes a line's priority from a "<N>" prefix; without it every
// line is info and `journalctl -p err` finds no error.
TEST(Log, LinesToTheJournalCarryTheirPriority) {
    captured_stderr err;
    setenv("JOURNAL_STREAM", err.stream_id().c_str(), 1);
    log(log_level::error, "cannot listen");
    log(log_level::warn, "passwords in clear");
    log(log_level::info, "listening");
    rate_limited_log refusals;
    refusals.log(rate_limited_log::clock::now(), log_level::warn, "refused");
    // Standard error redirected elsewhere is not the journal any more.
    setenv("JOURNAL_STREAM", "1:2", 1);
    log(log_level::error, "to a file");
    unsetenv("JOURNAL_STREAM");
    log(log_level::error, "no journal");
    const std::string text = err.text();
    std::vector<std::string> starts;
    for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
        starts.push_back(text.substr(at, text.compare(at, 1, "<") == 0 ? 6 : 3));
    EXPECT_EQ(starts,
              (std::vector<std::string>{"<3>ts=", "<4>ts=", "<6>ts=", "<4>ts=", "ts=", "ts="}))
        << text;
}

TEST(RateLimitedLog, OneLinePerPeriodAndTheNextCountsWhatWasLeftOut) {
    captured_stderr err;
    rate_limited_log refusals(milliseconds(500));
    rate_limited_log other_kind(milliseconds(500));
    const auto start = rate_limited_log::clock::now();
    EXPECT_TRUE(refusals.log(start, log_level::warn, "refused", {{"client", "127.0.0.2"}}));
    int left_out = 0;
    for (int i = 0; i < 1000; ++i)
        left_out += !refusals.log(start + milliseconds(i % 500), log_level::warn, "refused");
    // A flood of one kind does not silence another.
    EXPECT_TRUE(other_kind.log(start, log_level::warn, "other"));
    EXPECT_TRUE(refusals.log(start + milliseconds(500), log_level::warn, "refused",
                             {{"client", "127.0.0.3"}}));
    // Nothing left out since: no count.
    EXPECT_TRUE(refusals.log(start + milliseconds(1000), log_level::warn, "refused"));

    const std::string text = err.text();
    EXPECT_EQ(lines(text), 4) << text;
    EXPECT_EQ(left_out, 1000);
    EXPECT_NE(text.find("client=127.0.0.3 suppressed=" + std::to_string(left_out) + "\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("suppressed"), text.rfind("suppressed")) << text;
}

TEST(RateLimitedLog, ThreadsFloodingOneKindWriteOneLine) {
    captured_stderr err;
    rate_limited_log kind(hours(1));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&kind] {
            for (int i = 0; i < 10000; ++i)
                kind.log(rate_limited_log::clock::now(), log_level::warn, "handshake failed");
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(lines(err.text()), 1);
}

}  // namespace
