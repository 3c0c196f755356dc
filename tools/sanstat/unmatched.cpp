#include "sanstat/unmatched.h"

#include <algorithm>
#include <iostream>
#include <vector>

namespace sanstat {

namespace {

// The ids asked for that are not among found, as "8, 9 or 12".
template <typename Found, typename Id>
std::string missing(const std::vector<unsigned>& asked, const Found& found, Id id) {
    std::vector<unsigned> out;
    for (unsigned want : asked) {
        bool there = std::any_of(found.begin(), found.end(),
                                 [&](const auto& object) { return id(object) == want; });
        if (!there && std::find(out.begin(), out.end(), want) == out.end()) out.push_back(want);
    }
    std::string text;
    for (std::size_t i = 0; i < out.size(); ++i)
        text += (i == 0 ? "" : i + 1 == out.size() ? " or " : ", ") + std::to_string(out[i]);
    return text;
}

}  // namespace

void report_unmatched(const options& opt, const sanperf_tools::snapshot& now,
                      const std::string& where) {
    std::string sessions, sockets;
    if (now.sessions_read)
        sessions = missing(opt.blocks.session_ids, now.sessions,
                           [](const session_info& s) { return s.id; });
    if (now.sockets_read)
        sockets = missing(opt.blocks.socket_numbers, now.sockets,
                          [](const sock_info& s) { return s.number; });
    if (!sessions.empty())
        std::cerr << "sanstat: no session " << sessions << " in " << where << "\n";
    if (!sockets.empty()) std::cerr << "sanstat: no socket " << sockets << " in " << where << "\n";
}

}  // namespace sanstat
