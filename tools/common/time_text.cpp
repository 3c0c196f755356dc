#include "common/time_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sanperf_tools {

namespace {

// A number at the start of text, advancing it; false when there is none.
bool leading_number(const char*& text, double& value) {
    char* end = nullptr;
    if (*text == '-' || *text == '+' || *text == ' ') return false;
    value = std::strtod(text, &end);
    if (end == text || !std::isfinite(value)) return false;
    text = end;
    return true;
}

// "HH:MM[:SS]" exactly; false for anything else or out of range.
bool clock_time(const char* text, int& h, int& m, int& s) {
    int used = 0;
    s = 0;
    if (std::sscanf(text, "%2d:%2d%n", &h, &m, &used) != 2) return false;
    text += used;
    if (*text == ':') {
        int more = 0;
        if (std::sscanf(text, ":%2d%n", &s, &more) != 1 || more != 3) return false;
        text += more;
    }
    return *text == '\0' && h >= 0 && h < 24 && m >= 0 && m < 60 && s >= 0 && s < 61;
}

std::int64_t local_to_ms(std::tm tm) {
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm)) * 1000;
}

std::tm local(std::int64_t ms) {
    std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace

bool parse_duration_ms(const std::string& text, std::int64_t& ms, std::string& error) {
    const char* p = text.c_str();
    double total = 0;
    bool any = false;
    while (*p != '\0') {
        double v = 0;
        if (!leading_number(p, v)) break;
        double unit = 1;
        switch (*p) {
            case 's':
                unit = 1;
                ++p;
                break;
            case 'm':
                unit = 60;
                ++p;
                break;
            case 'h':
                unit = 3600;
                ++p;
                break;
            case 'd':
                unit = 86400;
                ++p;
                break;
            case 'w':
                unit = 7 * 86400;
                ++p;
                break;
            case '\0':
                if (any) return error = "'" + text + "': a unit after every number", false;
                break;
            default:
                return error = "'" + text + "' is not a duration such as 90s, 2h or 30d", false;
        }
        total += v * unit;
        any = true;
    }
    if (!any || *p != '\0' || total <= 0 || total > 1e10)
        return error = "'" + text + "' is not a duration such as 90s, 2h or 30d", false;
    ms = static_cast<std::int64_t>(std::llround(total * 1000));
    return true;
}

bool parse_size(const std::string& text, std::uint64_t& bytes, std::string& error) {
    const char* p = text.c_str();
    double v = 0;
    if (!leading_number(p, v) || v <= 0)
        return error = "'" + text + "' is not a size such as 64M or 1G", false;
    double unit = 1;
    switch (*p) {
        case '\0':
            break;
        case 'K':
        case 'k':
            unit = 1024.0;
            ++p;
            break;
        case 'M':
            unit = 1024.0 * 1024;
            ++p;
            break;
        case 'G':
            unit = 1024.0 * 1024 * 1024;
            ++p;
            break;
        case 'T':
            unit = 1024.0 * 1024 * 1024 * 1024;
            ++p;
            break;
        default:
            break;
    }
    if (*p != '\0' || v * unit > 1e18)
        return error = "'" + text + "' is not a size such as 64M or 1G", false;
    bytes = static_cast<std::uint64_t>(v * unit);
    return true;
}

bool parse_time_text(const std::string& text, std::int64_t now_ms, std::int64_t& ms,
                     std::string& error) {
    const std::string why = "'" + text +
                            "' is not a time: give 2026-12-08T03:12, '2026-12-08 03:12:30', "
                            "03:12, @EPOCH or -DURATION such as -2h";
    if (text.empty()) return error = why, false;
    if (text[0] == '@') {
        const char* p = text.c_str() + 1;
        double seconds = 0;
        if (!leading_number(p, seconds) || *p != '\0' || std::fabs(seconds) > 1e13)
            return error = why, false;
        ms = static_cast<std::int64_t>(std::llround(seconds * 1000));
        return true;
    }
    if (text[0] == '-') {
        std::int64_t back = 0;
        if (!parse_duration_ms(text.substr(1), back, error)) return error = why, false;
        ms = now_ms - back;
        return true;
    }
    int h = 0, m = 0, s = 0;
    if (clock_time(text.c_str(), h, m, s)) {
        std::tm tm = local(now_ms);
        tm.tm_hour = h;
        tm.tm_min = m;
        tm.tm_sec = s;
        ms = local_to_ms(tm);
        return true;
    }
    int year = 0, month = 0, day = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10 ||
        month < 1 || month > 12 || day < 1 || day > 31)
        return error = why, false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    if (text.size() > 10) {
        if ((text[10] != 'T' && text[10] != ' ') || !clock_time(text.c_str() + 11, h, m, s))
            return error = why, false;
        tm.tm_hour = h;
        tm.tm_min = m;
        tm.tm_sec = s;
    }
    ms = local_to_ms(tm);
    return true;
}

std::string local_time_text(std::int64_t ms) {
    std::tm tm = local(ms);
    char out[64];
    std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S %z", &tm);
    return out;
}

std::string iso_local_time(std::int64_t ms) {
    std::tm tm = local(ms);
    char out[64];
    std::size_t n = std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%S%z", &tm);
    std::string text(out, n);
    // %z gives +0100; ISO 8601's extended form wants +01:00.
    if (text.size() >= 5) text.insert(text.size() - 2, ":");
    return text;
}

std::string human_length(double seconds) {
    char out[32];
    if (seconds < 120)
        std::snprintf(out, sizeof out, "%.0f s", seconds);
    else if (seconds < 7200)
        std::snprintf(out, sizeof out, "%.0f min", seconds / 60);
    else if (seconds < 172800)
        std::snprintf(out, sizeof out, "%.1f h", seconds / 3600);
    else
        std::snprintf(out, sizeof out, "%.1f days", seconds / 86400);
    return out;
}

}  // namespace sanperf_tools
