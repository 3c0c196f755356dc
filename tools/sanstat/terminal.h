// The terminal as sanstat's full-screen view uses it: keys one at a time
// without echo, an alternate screen without cursor, painted with plain ANSI
// sequences, and everything put back as it was found.
#pragma once

#include <signal.h>
#include <termios.h>

#include <string>
#include <vector>

namespace sanstat {

struct screen_size {
    int rows = 24;
    int columns = 80;
};

class terminal {
public:
    // Takes over the terminal that keys come from (in) and the screen goes
    // to (out); both must be terminals. Throws std::system_error when it
    // cannot. From now on a SIGWINCH makes resize_fd() readable.
    terminal(int in, int out);
    // Puts the terminal back: its modes, the cursor, the normal screen.
    ~terminal();
    terminal(const terminal&) = delete;
    terminal& operator=(const terminal&) = delete;

    int key_fd() const { return in_; }
    int resize_fd() const { return resize_fd_; }

    // The size now. Takes the pending resize notices, if any.
    screen_size size();

    // The keys typed so far, without waiting; empty when none.
    std::string keys();

    // Replaces the screen with lines from the top, each cut to the width,
    // at most as many as there are rows. Throws std::system_error when the
    // terminal cannot be written.
    void paint(const std::vector<std::string>& lines);

private:
    void restore() noexcept;

    int in_, out_;
    termios saved_{};
    sigset_t saved_mask_{};
    int resize_fd_ = -1;
};

}  // namespace sanstat
