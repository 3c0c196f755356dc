#include "sanperf-sim/tree_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "common/atomic_file.h"
#include "common/sink.h"

namespace fs = std::filesystem;

namespace sanperf_sim {
namespace {

// Names starting with a dot are skipped by the reader's directory listing and
// are not among the files it opens, so work in progress hides behind them.
const char* const new_prefix = ".new-";
const char* const old_prefix = ".old-";

[[noreturn]] void fail(const std::string& path) {
    throw std::system_error(errno, std::generic_category(), path);
}

// Creates path and writes content into it, replacing what it held.
void write_whole_file(const std::string& path, std::string_view content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail(path);
    try {
        sanperf_tools::fd_sink out(fd, path);
        out.write(content);
        out.flush();
    } catch (...) {
        close(fd);
        throw;
    }
    if (close(fd) != 0) fail(path);
}

// Creates the directory p and its parents if they do not exist.
void create_dirs(const std::string& p) {
    std::error_code error;
    fs::create_directories(p, error);
    if (error) throw std::system_error(error, p);
}

void rename_or_fail(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) fail(to);
}

// True iff name is prefix followed by one or more digits.
bool numbered(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
    return name.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Whether the first state can be written beside dir and renamed over it: dir
// is missing, or an empty directory that a rename may replace (not a mount
// point, not the working directory).
bool can_stand_in(const fs::path& dir) {
    std::error_code error;
    fs::file_status status = fs::symlink_status(dir, error);
    if (status.type() == fs::file_type::not_found) return true;
    if (error || status.type() != fs::file_type::directory || !fs::is_empty(dir, error) || error)
        return false;
    struct stat self {
    }, parent{};
    if (stat(dir.c_str(), &self) != 0 || stat(dir.parent_path().c_str(), &parent) != 0)
        return false;
    return self.st_dev == parent.st_dev && !fs::equivalent(dir, fs::current_path(), error);
}

}  // namespace

tree_writer::tree_writer(std::string root_dir) : root(root_dir), target(std::move(root_dir)) {
    fs::path dir = fs::absolute(target).lexically_normal();
    if (!dir.has_filename()) dir = dir.parent_path();  // "tree/" names tree
    if (dir.has_parent_path() && dir.parent_path() != dir && can_stand_in(dir)) {
        std::error_code error;
        fs::create_directories(dir.parent_path(), error);
        if (error) throw std::system_error(error, target);
        std::string hidden = (dir.parent_path() / ("." + dir.filename().string() + new_prefix +
                                                   std::to_string(getpid())))
                                 .string();
        // Beside the target, where it may not be allowed: then in place.
        if (mkdir(hidden.c_str(), 0755) == 0) {
            root = hidden;
            return;
        }
    }
    make_dir("");
}

tree_writer::~tree_writer() { discard(); }

void tree_writer::appear() {
    if (root == target) return;
    // Over an empty directory, rename replaces it at once.
    rename_or_fail(root, target);
    root = target;
}

void tree_writer::discard() {
    if (root == target) return;
    std::error_code ignored;
    fs::remove_all(root, ignored);
    root = target;
}

std::string tree_writer::path(const std::string& relative) const {
    return relative.empty() ? root : root + "/" + relative;
}

void tree_writer::make_dir(const std::string& relative) { create_dirs(path(relative)); }

void tree_writer::replace_file(const std::string& relative, std::string_view content) {
    // A statistics tree lives no longer than the machine's uptime, as the
    // server's own does: no need to sync.
    sanperf_tools::replace_file(
        path(relative), [content](sanperf_tools::sink& out) { out.write(content); },
        sanperf_tools::durability::unsynced);
}

void tree_writer::publish_dir(const std::string& parent, const std::string& name,
                              const std::vector<file_content>& files) {
    std::string base = path(parent) + "/";
    std::string hidden = base + new_prefix + name;
    if (mkdir(hidden.c_str(), 0755) != 0) fail(hidden);
    try {
        // Nobody can see the hidden directory yet: its files need no temporaries.
        for (const file_content& file : files)
            write_whole_file(hidden + "/" + file.first, file.second);
        rename_or_fail(hidden, base + name);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(hidden, ignored);
        throw;
    }
}

void tree_writer::retire_dir(const std::string& parent, const std::string& name) {
    std::string base = path(parent) + "/";
    std::string hidden = base + old_prefix + name;
    rename_or_fail(base + name, hidden);
    std::error_code error;
    fs::remove_all(hidden, error);
    if (error) throw std::system_error(error, hidden);
}

void tree_writer::remove_leftovers(const std::string& parent, const std::string& prefix) {
    std::string dir = path(parent);
    std::vector<fs::path> leftovers;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (starts_with(name, new_prefix))
            name.erase(0, std::char_traits<char>::length(new_prefix));
        else if (starts_with(name, old_prefix))
            name.erase(0, std::char_traits<char>::length(old_prefix));
        if (numbered(name, prefix)) leftovers.push_back(it->path());
    }
    if (error) throw std::system_error(error, dir);
    for (const fs::path& leftover : leftovers) {
        fs::remove_all(leftover, error);
        if (error) throw std::system_error(error, leftover.string());
    }
}

}  // namespace sanperf_sim
