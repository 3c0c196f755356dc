#include "sanstat/terminal.h"

#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/write_all.h"

namespace sanstat {

namespace {

// The alternate screen, so the shell's screen comes back untouched, and no
// cursor blinking over the numbers; then the same undone.
constexpr const char* enter_screen = "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J";
constexpr const char* leave_screen = "\x1b[?25h\x1b[?1049l";

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

terminal::terminal(int in, int out) : in_(in), out_(out) {
    if (tcgetattr(in_, &saved_) != 0) fail("cannot read the terminal's settings");

    // SIGWINCH is taken through a descriptor, so the view waits for it with
    // its keys and its next refresh in one poll.
    sigset_t winch;
    sigemptyset(&winch);
    sigaddset(&winch, SIGWINCH);
    sigprocmask(SIG_BLOCK, &winch, &saved_mask_);
    resize_fd_ = signalfd(-1, &winch, SFD_CLOEXEC | SFD_NONBLOCK);
    if (resize_fd_ < 0) {
        int saved_errno = errno;
        sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
        errno = saved_errno;
        fail("cannot watch the terminal's size");
    }

    // Keys arrive one by one and are not echoed; reads never wait. Ctrl-C
    // still sends SIGINT, which ends the view the same way as q. Ctrl-Z and
    // Ctrl-\ are off: either would leave the terminal as the view set it.
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    raw.c_cc[VQUIT] = _POSIX_VDISABLE;
    if (tcsetattr(in_, TCSAFLUSH, &raw) != 0 || !sanperf_tools::write_all(out_, enter_screen)) {
        int saved_errno = errno;
        restore();
        errno = saved_errno;
        fail("cannot set up the terminal");
    }
}

terminal::~terminal() { restore(); }

void terminal::restore() noexcept {
    sanperf_tools::write_all(out_, leave_screen);
    tcsetattr(in_, TCSADRAIN, &saved_);
    close(resize_fd_);
    sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
}

screen_size terminal::size() {
    signalfd_siginfo info;
    while (read(resize_fd_, &info, sizeof info) == sizeof info) {}
    screen_size s;
    winsize ws{};
    if (ioctl(out_, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
        s.rows = ws.ws_row;
        s.columns = ws.ws_col;
    }
    return s;
}

std::string terminal::keys() {
    std::string typed;
    char buffer[64];
    for (;;) {
        ssize_t n = read(in_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return typed;
        typed.append(buffer, static_cast<std::size_t>(n));
    }
}

void terminal::paint(const std::vector<std::string>& lines) {
    const screen_size s = size();
    std::string frame;
    int row = 0;
    for (; row < s.rows && row < static_cast<int>(lines.size()); ++row) {
        const std::string& line = lines[static_cast<std::size_t>(row)];
        frame += "\x1b[" + std::to_string(row + 1) + ";1H";
        frame.append(line, 0, static_cast<std::size_t>(s.columns));
        // Erasing after a line that fills the row would take its last
        // character with it.
        if (line.size() < static_cast<std::size_t>(s.columns)) frame += "\x1b[K";
    }
    if (row < s.rows) frame += "\x1b[" + std::to_string(row + 1) + ";1H\x1b[J";
    if (!sanperf_tools::write_all(out_, frame)) fail("cannot write to the terminal");
}

}  // namespace sanstat
