#include "sanperf_exporter/security/hash_password.h"

#include "sanperf_exporter/security/password_check.h"

#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <istream>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <string>

namespace sanperf_exporter::security {
namespace {

// Turns terminal echo off on standard input for its lifetime.
class no_echo {
public:
    no_echo() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~no_echo() {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    no_echo(const no_echo&) = delete;
    no_echo& operator=(const no_echo&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

int hash_password(std::istream& in, std::ostream& out, std::ostream& err, bool terminal) {
    std::string password;
    if (terminal) {
        err << "Password: " << std::flush;
        no_echo quiet;
        std::getline(in, password);
        err << '\n';
    } else {
        password.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!password.empty() && password.back() == '\n') password.pop_back();
        if (!password.empty() && password.back() == '\r') password.pop_back();
    }

    const char* problem = nullptr;
    if (password.empty()) {
        problem = "the password is empty";
    } else if (password.find('\n') != std::string::npos) {
        problem = "the password spans more than one line";
    } else if (password.find('\0') != std::string::npos) {
        problem = "the password holds a NUL byte, which basic auth cannot carry";
    } else if (password.size() > bcrypt_max_password) {
        problem = "the password is longer than bcrypt's 72 bytes";
    }
    int status = 1;
    if (problem != nullptr) {
        err << "sanperf_exporter: --hash-password: " << problem << '\n';
    } else {
        try {
            out << bcrypt_hash(password, hash_password_cost) << '\n';
            status = 0;
        } catch (const std::runtime_error& e) {
            err << "sanperf_exporter: --hash-password: " << e.what() << '\n';
        }
    }
    explicit_bzero(password.data(), password.size());
    return status;
}

}  // namespace sanperf_exporter::security
