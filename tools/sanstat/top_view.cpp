#include "sanstat/top_view.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/interval.h"
#include "common/ranking.h"
#include "common/render_table.h"
#include "common/sink.h"
#include "common/snapshot.h"
#include "common/stop_signals.h"
#include "common/tree_layout.h"
#include "sanstat/terminal.h"
#include "sanstat/top_replay.h"
#include "sanstat/top_source.h"
#include "sanstat/tree_watch.h"

namespace sanstat {

namespace {

namespace tools = sanperf_tools;
using clock_type = std::chrono::steady_clock;

enum class block { disks, sessions, sockets };

const char* block_name(block b) {
    switch (b) {
        case block::disks:
            return "disk queues";
        case block::sessions:
            return "sessions";
        case block::sockets:
            return "sockets";
    }
    return "";
}

// What the keys change.
struct view_state {
    std::vector<block> blocks;  // those chosen on the command line, in order
    std::size_t shown = 0;      // index in blocks
    tools::sort_key sort = tools::sort_key::rate;
    std::size_t wanted = SIZE_MAX;  // objects asked for; SIZE_MAX: as many as fit
    std::size_t drawn = 0;          // objects the last screen had room for
    bool paused = false;
};

// The snapshot with only block b in it, for the renderer.
tools::snapshot only(const tools::snapshot& s, block b) {
    tools::snapshot one;
    one.taken = s.taken;
    one.wall = s.wall;
    one.archived = s.archived;
    one.tree_found = s.tree_found;
    switch (b) {
        case block::disks:
            one.disks_read = s.disks_read;
            one.disks = s.disks;
            one.unreadable_disks = s.unreadable_disks;
            break;
        case block::sessions:
            one.sessions_read = s.sessions_read;
            one.sessions = s.sessions;
            break;
        case block::sockets:
            one.sockets_read = s.sockets_read;
            one.sockets = s.sockets;
            break;
    }
    return one;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// How many objects of block b in now pass --active and --min-avg.
std::size_t passing(const options& opt, block b, const tools::snapshot& now,
                    const tools::snapshot* before) {
    tools::ranking filters;
    filters.active_only = opt.rank.active_only;
    filters.min_avg = opt.rank.min_avg;
    const tools::interval iv(before, now);
    const bool rates = iv.seconds().has_value();
    switch (b) {
        case block::disks:
            return tools::rank(tools::disk_rows(iv, now), rates, filters).rows.size();
        case block::sessions:
            return tools::rank(tools::session_rows(iv, now), rates, filters).rows.size();
        case block::sockets:
            return tools::rank(tools::socket_rows(iv, now), rates, filters).rows.size();
    }
    return 0;
}

// The shown block as the table report renders it, with at most n objects
// (none: every one that passes the filters, and the header says no number).
std::vector<std::string> block_lines(const options& opt, block b, tools::sort_key sort,
                                     std::optional<std::size_t> n, const tools::snapshot& now,
                                     const tools::snapshot* before, int sequence) {
    tools::ranking how = opt.rank;  // keeps --active and --min-avg
    how.sort = sort;
    how.top = n;
    tools::snapshot one_now = only(now, b);
    std::optional<tools::snapshot> one_before;
    if (before) one_before = only(*before, b);
    std::string text;
    tools::string_sink out(text);
    tools::render_table(one_now, one_before ? &*one_before : nullptr, sequence, how, opt.style,
                        out);
    std::vector<std::string> lines = split_lines(text);
    // The blank lines that end a report take no room on the screen.
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// The screen: a title and the keys, then the shown block with as many
// objects as v asks for and the screen holds. Sets v.drawn to that number.
std::vector<std::string> screen(const options& opt, view_state& v, screen_size size,
                                const top_source& src) {
    const block b = v.blocks[v.shown];
    std::ostringstream title;
    title << "sanstat top: " << block_name(b) << " by " << tools::sort_key_name(v.sort)
          << (src.replay() ? ", replaying " + opt.archive + ", steps of " : ", every ")
          << opt.interval.value_or(default_top_interval) << " s" << (v.paused ? ", PAUSED" : "");
    std::vector<std::string> lines{
        title.str(), src.replay()
                         ? "keys: t/T step  s sort  b/Tab block  +/- rows  space/p pause  q quit"
                         : "keys: s sort  b/Tab block  +/- rows  space/p pause  q quit"};
    if (src.now() == nullptr) {
        lines.push_back(src.gap());
        return lines;
    }
    const tools::snapshot& now = *src.now();
    const tools::snapshot* before = src.before();
    const int sequence = src.sequence();

    // Only what passes the filters can be shown, and counts as a row.
    const std::size_t in_block = passing(opt, b, now, before);
    std::size_t n = std::clamp<std::size_t>(v.wanted, 1, std::max<std::size_t>(in_block, 1));
    auto cut = [in_block](std::size_t objects) {
        return objects < in_block ? std::optional<std::size_t>(objects) : std::nullopt;
    };
    // An object takes one row, but a socket laid out by slot takes one per
    // slot. When the block does not fit, it is cut by whole objects.
    const std::size_t per_object =
        b == block::sockets && opt.style.sockets == tools::socket_layout::slots
            ? tools::socket_slot_count
            : 1;
    std::vector<std::string> rows = block_lines(opt, b, v.sort, cut(n), now, before, sequence);
    const std::size_t room = static_cast<std::size_t>(std::max(size.rows, 1));
    if (lines.size() + rows.size() > room && n > 1) {
        std::size_t excess = lines.size() + rows.size() - room;
        std::size_t fewer = (excess + per_object - 1) / per_object;
        n = fewer < n ? n - fewer : 1;
        rows = block_lines(opt, b, v.sort, cut(n), now, before, sequence);
    }
    v.drawn = n;
    for (auto& line : rows) lines.push_back(std::move(line));
    return lines;
}

// The next sort key after key, in the order of the command line's names.
tools::sort_key next_sort(tools::sort_key key) {
    const std::size_t count = std::size(tools::sort_key_names);
    for (std::size_t i = 0; i < count; ++i) {
        if (tools::parse_sort_key(tools::sort_key_names[i]) == key)
            return *tools::parse_sort_key(tools::sort_key_names[(i + 1) % count]);
    }
    return key;
}

// Applies the keys typed; false when one of them asks to quit.
bool take_keys(const std::string& keys, view_state& v, top_source& src) {
    for (char key : keys) {
        switch (key) {
            case 'q':
                return false;
            case 't':
                src.step(1);
                break;
            case 'T':
                src.step(-1);
                break;
            case 's':
                v.sort = next_sort(v.sort);
                break;
            case 'b':
            case '\t':
                v.shown = (v.shown + 1) % v.blocks.size();
                break;
            // More than the screen holds is cut back when the screen is drawn.
            case '+':
            case '=':
                v.wanted = v.drawn + 1;
                break;
            case '-':
                v.wanted = std::max<std::size_t>(v.drawn, 2) - 1;
                break;
            case ' ':
            case 'p':
                v.paused = !v.paused;
                break;
            default:
                break;
        }
    }
    return true;
}

void draw(terminal& term, const options& opt, view_state& v, const top_source& src) {
    term.paint(screen(opt, v, term.size(), src));
}

// The tree read live: each refresh is a new snapshot.
class live_source : public top_source {
public:
    live_source(const options& opt, tools::thread_pool* pool, tools::snapshot first)
        : opt_(opt), pool_(pool), now_(std::move(first)) {}
    const tools::snapshot* now() const override { return &now_; }
    const tools::snapshot* before() const override { return before_ ? &*before_ : nullptr; }
    std::string gap() const override { return ""; }
    int sequence() const override { return sequence_; }
    bool alive() const override { return now_.tree_found; }
    void refresh() override {
        before_ = std::move(now_);
        now_ = tools::take_snapshot(opt_.blocks, pool_);
        ++sequence_;
    }
    bool step(int) override { return false; }
    bool replay() const override { return false; }

private:
    const options& opt_;
    tools::thread_pool* pool_;
    tools::snapshot now_;
    std::optional<tools::snapshot> before_;
    int sequence_ = 1;
};

int milliseconds_until(clock_type::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

enum class ending { quit, stopped, tree_gone, terminal_gone };

// The view's loop, on a terminal already taken over.
ending show(terminal& term, const options& opt, view_state& v, top_source& src) {
    const auto interval = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(opt.interval.value_or(default_top_interval)));
    auto next = clock_type::now() + interval;
    for (;;) {
        if (!src.alive()) return ending::tree_gone;
        draw(term, opt, v, src);

        pollfd fds[3] = {{term.key_fd(), POLLIN, 0},
                         {term.resize_fd(), POLLIN, 0},
                         {tools::stop_wake_fd(), POLLIN, 0}};
        for (;;) {
            if (tools::stop_requests() > 0) return ending::stopped;
            int timeout = v.paused ? -1 : milliseconds_until(next);
            if (poll(fds, 3, timeout) < 0 && errno != EINTR) return ending::terminal_gone;
            if (tools::stop_requests() > 0) return ending::stopped;
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return ending::terminal_gone;
            bool redraw = fds[1].revents & POLLIN;
            if (fds[0].revents & POLLIN) {
                bool was_paused = v.paused;
                if (!take_keys(term.keys(), v, src)) return ending::quit;
                // A refresh resumed after a pause waits a whole interval.
                if (was_paused && !v.paused) next = clock_type::now() + interval;
                redraw = true;
            }
            if (!v.paused && clock_type::now() >= next) break;
            if (redraw) draw(term, opt, v, src);
        }
        src.refresh();
        next = std::max(next + interval, clock_type::now());
    }
}

}  // namespace

int run_top_view(const options& opt, tools::thread_pool* pool) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        std::cerr << "sanstat: 'sanstat top' needs a terminal on standard input and output; "
                     "for a ranked report in a pipe or a file use 'sanstat --top N'\n";
        return 1;
    }
    view_state v;
    v.sort = opt.rank.sort.value_or(tools::sort_key::rate);
    if (opt.rank.top) v.wanted = *opt.rank.top;
    if (opt.blocks.disks) v.blocks.push_back(block::disks);
    if (opt.blocks.sessions) v.blocks.push_back(block::sessions);
    if (opt.blocks.sockets) v.blocks.push_back(block::sockets);

    // Every stop request is only counted: the view checks for it between
    // refreshes and ends through the terminal's restoring.
    tools::catch_stop_signals(tools::second_stop::counted);
    // Without a tree there is nothing to show: said before the screen is
    // taken, as a single report says it.
    // A replay steps by its interval, and shows the archive's time unit
    // unless another was given.
    options shown = opt;
    std::unique_ptr<top_source> src;
    if (!opt.archive.empty()) {
        auto replay = std::make_unique<archive_replay>(opt);  // refuses what is no archive
        shown.interval = replay->step_seconds();
        if (!opt.unit_given) shown.style.unit = replay->time_unit();
        src = std::move(replay);
    } else {
        src = std::make_unique<live_source>(opt, pool, tools::take_snapshot(opt.blocks, pool));
    }
    ending end = ending::tree_gone;
    if (src->alive()) {
        terminal term(STDIN_FILENO, STDOUT_FILENO);
        end = show(term, shown, v, *src);
    }
    switch (end) {
        case ending::quit:
        case ending::stopped:
            return 0;
        case ending::tree_gone: {
            // Said as a single report says it, now that the screen is back.
            tree_watch watch(opt.root.empty() ? "/sys/kernel" : opt.root);
            tools::snapshot none;  // no tree found
            watch.check(none, false);
            return 1;
        }
        case ending::terminal_gone:
            std::cerr << "sanstat: the terminal went away\n";
            return 1;
    }
    return 1;
}

}  // namespace sanstat
