#include "sanperf_exporter/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "common/write_all.h"

namespace sanperf_exporter {

namespace {

std::atomic<log_level> least_level{log_level::info};
std::atomic<log_format> chosen_format{log_format::logfmt};

const char* level_name(log_level level) {
    switch (level) {
        case log_level::debug:
            return "debug";
        case log_level::info:
            return "info";
        case log_level::warn:
            return "warn";
        case log_level::error:
            return "error";
    }
    return "info";
}

// RFC 3339 in UTC with milliseconds, as the Go exporters write it.
std::string timestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[48];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

// logfmt quotes a value holding a space, '=', '"' or a control character,
// or an empty one; inside quotes, '"' and '\' are escaped and control
// characters written as \n, \t or \u00XX.
void append_logfmt_value(std::string& out, std::string_view value) {
    bool quote = value.empty();
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= ' ' || c == '=' || c == '"' || c == 0x7f) quote = true;
    }
    if (!quote) {
        out.append(value);
        return;
    }
    out += '"';
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < ' ' || c == 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\u%04x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

// A key is written as given unless it would break the line apart.
void append_logfmt_key(std::string& out, std::string_view key) {
    for (const char ch : key) {
        const auto c = static_cast<unsigned char>(ch);
        out += (c <= ' ' || c == '=' || c == '"' || c == 0x7f) ? '_' : ch;
    }
}

std::string json_string(std::string_view text) {
    // Bytes that are not UTF-8 (a client's junk quoted in a message) become
    // U+FFFD rather than an exception.
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// JOURNAL_STREAM holds "DEVICE:INODE" of the stream systemd connected
// standard error to; a descriptor redirected since is another file.
bool stderr_is_journal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0) return false;
    unsigned long long device = 0, inode = 0;
    char end = 0;
    return std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) == 2 && device == st.st_dev &&
           inode == st.st_ino;
}

// Nothing useful can be done when standard error itself fails.
void write_line(std::string_view prefix, const std::string& text) {
    std::string line(prefix);
    line += text;
    sanperf_tools::write_all(STDERR_FILENO, line);
}

}  // namespace

std::string_view journal_priority(log_level level) {
    // Looked up each time, as lines are few: a test or a redirection may
    // change standard error.
    if (!stderr_is_journal()) return {};
    switch (level) {
        case log_level::debug:
            return "<7>";
        case log_level::info:
            return "<6>";
        case log_level::warn:
            return "<4>";
        case log_level::error:
            return "<3>";
    }
    return {};
}

bool parse_log_level(std::string_view text, log_level& level) {
    for (log_level l : {log_level::debug, log_level::info, log_level::warn, log_level::error}) {
        if (text == level_name(l)) {
            level = l;
            return true;
        }
    }
    return false;
}

bool parse_log_format(std::string_view text, log_format& format) {
    if (text == "logfmt") {
        format = log_format::logfmt;
    } else if (text == "json") {
        format = log_format::json;
    } else {
        return false;
    }
    return true;
}

void configure_log(log_level least, log_format format) {
    least_level = least;
    chosen_format = format;
}

namespace {

std::string render(log_format format, std::chrono::system_clock::time_point time, log_level level,
                   std::string_view message, const log_field* first, const log_field* last) {
    std::string line;
    if (format == log_format::json) {
        line = "{\"ts\":" + json_string(timestamp(time)) + ",\"level\":\"" + level_name(level) +
               "\",\"msg\":" + json_string(message);
        for (const log_field* f = first; f != last; ++f)
            line += "," + json_string(f->first) + ":" + json_string(f->second);
        line += "}\n";
        return line;
    }
    line = "ts=" + timestamp(time) + " level=" + level_name(level) + " msg=";
    append_logfmt_value(line, message);
    for (const log_field* f = first; f != last; ++f) {
        line += ' ';
        append_logfmt_key(line, f->first);
        line += '=';
        append_logfmt_value(line, f->second);
    }
    line += '\n';
    return line;
}

}  // namespace

std::string format_log_line(log_format format, std::chrono::system_clock::time_point time,
                            log_level level, std::string_view message, log_fields fields) {
    return render(format, time, level, message, fields.begin(), fields.end());
}

void log(log_level level, std::string_view message, log_fields fields) {
    if (level < least_level.load()) return;
    write_line(journal_priority(level),
               format_log_line(chosen_format.load(), std::chrono::system_clock::now(), level,
                               message, fields));
}

bool rate_limited_log::log(clock::time_point now, log_level level, std::string_view message,
                           log_fields fields) {
    if (level < least_level.load()) return false;
    unsigned long left_out = 0;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (logged_ && now - last_ < period_) {
            ++suppressed_;
            return false;
        }
        logged_ = true;
        last_ = now;
        left_out = std::exchange(suppressed_, 0);
    }
    if (left_out == 0) {
        sanperf_exporter::log(level, message, fields);
        return true;
    }
    std::vector<log_field> all(fields);
    const std::string count = std::to_string(left_out);
    all.emplace_back("suppressed", count);
    write_line(journal_priority(level),
               render(chosen_format.load(), std::chrono::system_clock::now(), level, message,
                      all.data(), all.data() + all.size()));
    return true;
}

}  // namespace sanperf_exporter
