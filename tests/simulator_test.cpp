// The simulated server: its tree, read back through the library, must look
// like the real server's, stay readable while it changes, and be the same for
// the same seed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/mount.h>

#include "common/snapshot.h"
#include "common/tree_layout.h"
#include "sanperf-sim/fault.h"
#include "sanperf-sim/pace.h"
#include "sanperf-sim/server_model.h"
#include "sanperf.h"
#include "support/kernel_tree.h"

namespace fs = std::filesystem;
using sanperf_sim::pace;
using sanperf_test::kernel_tree;

namespace {

constexpr long long no_sample = sanperf_tools::no_sample_minimum;

std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    static std::string program = SANPERF_SIM_PATH;
    argv.push_back(program.data());
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}

std::string read_stream(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    return text;
}

struct outcome {
    int exit_code = -1;  // -1 unless the program exited normally
    std::string out;
    std::string err;
};

// Runs the simulator to completion with its output captured.
outcome run_sim(std::vector<std::string> args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::vector<char*> argv = argv_of(args);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    outcome result;
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.out = read_stream(out);
    result.err = read_stream(err);
    std::fclose(out);
    std::fclose(err);
    return result;
}

// A simulator running in the background, stopped with SIGTERM when destroyed.
class running_sim {
public:
    // Starts it and waits for the line that says the tree is written. Its
    // standard error goes to err when given.
    explicit running_sim(std::vector<std::string> args, std::FILE* err = nullptr) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        std::vector<char*> argv = argv_of(args);
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            if (err != nullptr) dup2(fileno(err), 2);
            close(fds[0]);
            close(fds[1]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::FILE* out = fdopen(fds[0], "r");
        char line[512] = "";
        if (std::fgets(line, sizeof line, out) == nullptr) line[0] = '\0';
        ready_line = line;
        std::fclose(out);
    }
    ~running_sim() {
        if (pid > 0) stop();
    }
    running_sim(const running_sim&) = delete;
    running_sim& operator=(const running_sim&) = delete;

    // Sends SIGTERM and returns the exit code (-1 if it did not exit normally).
    int stop() {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string ready_line;

private:
    pid_t pid = -1;
};

// Every file below /sys/kernel with its content, by path.
std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator("/sys/kernel")) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path());
        std::ostringstream text;
        text << in.rdbuf();
        files[entry.path().string()] = text.str();
    }
    return files;
}

// The files a reader of the tree can come across: those of
// /sys/kernel/<kind>/<object>/, leaving out hidden names, which the reader
// never lists or opens. Directories may vanish during the walk.
std::vector<fs::path> visible_files() {
    std::vector<fs::path> files;
    auto visible = [](const fs::directory_entry& e) {
        return e.path().filename().string()[0] != '.';
    };
    std::error_code error;
    for (const char* kind : {"/sys/kernel/disk_queue", "/sys/kernel/session", "/sys/kernel/sock"}) {
        for (fs::directory_iterator dir(kind, error), end; !error && dir != end;
             dir.increment(error)) {
            if (!visible(*dir)) continue;
            std::error_code inner;
            for (fs::directory_iterator file(dir->path(), inner); !inner && file != end;
                 file.increment(inner)) {
                if (visible(*file)) files.push_back(file->path());
            }
        }
    }
    return files;
}

// Checks one counter set as the library hands it out against the file it
// came from: a stream without samples keeps the raw no-sample minimum, which
// the record shows as 0; one with samples has a sensible minimum and maximum
// around its average. Counts which of the two it was.
struct counter_census {
    int idle = 0;
    int active = 0;

    void check(const std::string& path, long long samples, long long total_time, long long min_time,
               long long max_time) {
        SCOPED_TRACE(path);
        st_perf_stats raw(path);
        EXPECT_EQ(samples, raw.get_samples());
        EXPECT_EQ(total_time, raw.get_total_time());
        EXPECT_EQ(max_time, raw.get_max_time());
        if (samples == 0) {
            ++idle;
            EXPECT_EQ(raw.get_min_time(), no_sample);
            EXPECT_EQ(raw.get_min_count(), no_sample);
            EXPECT_EQ(min_time, 0);
            EXPECT_EQ(total_time, 0);
            EXPECT_EQ(raw.get_total_count(), 0);
            return;
        }
        ++active;
        EXPECT_EQ(min_time, raw.get_min_time());
        EXPECT_GT(min_time, 0);
        EXPECT_LE(min_time, max_time);
        EXPECT_LE(min_time * samples, total_time);
        EXPECT_LE(total_time, max_time * samples);
        EXPECT_GT(raw.get_min_count(), 0);
        EXPECT_LE(raw.get_min_count() * samples, raw.get_total_count());
        EXPECT_LE(raw.get_total_count(), raw.get_max_count() * samples);
    }
};

TEST(Simulator, TreeReadsBackThroughTheLibrary) {
    kernel_tree tree;
    outcome run =
        run_sim({"/sys/kernel", "--once", "--sessions", "5", "--sockets", "7", "--seed", "3"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");

    sanserver_performance_info server;
    counter_census census;

    std::list<disk_queue_info> queues;
    server.get_disk_queue_perf_info(queues);
    ASSERT_EQ(queues.size(), 32u);
    for (const disk_queue_info& q : queues) {
        std::string dir = "/sys/kernel/disk_queue/" + q.name + "/";
        census.check(dir + "async_handler_task_perf_stats", q.handler_samples, q.handler_total_time,
                     q.handler_min_time, q.handler_max_time);
        census.check(dir + "async_processing_perf_stats", q.processing_samples,
                     q.processing_total_time, q.processing_min_time, q.processing_max_time);
        EXPECT_EQ(q.handler_min_count == 0, q.handler_samples == 0) << q.name;
        EXPECT_EQ(q.processing_min_count == 0, q.processing_samples == 0) << q.name;
        // The high-water mark of active tasks is set once the handler ran.
        EXPECT_EQ(q.max_num_active > 0, q.handler_samples > 0) << q.name;
    }

    std::list<session_info> sessions;
    server.get_session_perf_info(sessions);
    std::vector<unsigned> ids;
    for (const session_info& s : sessions) {
        ids.push_back(s.id);
        std::string dir = "/sys/kernel/session/session" + std::to_string(s.id) + "/";
        census.check(dir + "read_perf_stats", s.read_samples, s.read_total_time, s.read_min_time,
                     s.read_max_time);
        census.check(dir + "write_perf_stats", s.write_samples, s.write_total_time,
                     s.write_min_time, s.write_max_time);
    }
    EXPECT_EQ(ids, (std::vector<unsigned>{1, 2, 3, 4, 5}));

    std::list<sock_info> sockets;
    server.get_socket_perf_info(sockets);
    std::vector<unsigned> numbers;
    for (const sock_info& k : sockets) {
        numbers.push_back(k.number);
        std::string dir = "/sys/kernel/sock/sock" + std::to_string(k.number) + "/";
        for (int slot = 0; slot < 12; ++slot) {
            const sock_stats& s = k.stats[slot];
            census.check(dir + sanperf_test::socket_slot_file(slot), s.samples, s.total_time,
                         s.min_time, s.max_time);
        }
    }
    EXPECT_EQ(numbers, (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7}));

    // 64 disk queue, 10 session and 84 socket counter sets: both kinds occur.
    EXPECT_EQ(census.idle + census.active, 64 + 10 + 84);
    EXPECT_GT(census.idle, 0);
    EXPECT_GT(census.active, census.idle);
}

TEST(Simulator, SeedDecidesTheTreeAndARerunReplacesIt) {
    kernel_tree tree;
    ASSERT_EQ(
        run_sim({"/sys/kernel", "--once", "--sessions", "6", "--sockets", "4", "--seed", "11"})
            .exit_code,
        0);
    auto first = snapshot();
    EXPECT_EQ(first.size(), 96u + 6 * 4 + 4 * 12);

    ASSERT_EQ(
        run_sim({"/sys/kernel", "--once", "--sessions", "6", "--sockets", "4", "--seed", "11"})
            .exit_code,
        0);
    EXPECT_EQ(snapshot(), first);

    ASSERT_EQ(
        run_sim({"/sys/kernel", "--once", "--sessions", "6", "--sockets", "4", "--seed", "12"})
            .exit_code,
        0);
    auto other = snapshot();
    EXPECT_EQ(other.size(), first.size());
    EXPECT_NE(other, first);

    // Fewer sessions and sockets than the run before: none of the old ones
    // may linger.
    ASSERT_EQ(run_sim({"/sys/kernel", "--once", "--sessions", "2", "--sockets", "1"}).exit_code, 0);
    sanserver_performance_info server;
    std::list<session_info> sessions;
    server.get_session_perf_info(sessions);
    std::list<sock_info> sockets;
    server.get_socket_perf_info(sockets);
    EXPECT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sockets.size(), 1u);
    EXPECT_EQ(snapshot().size(), 96u + 2 * 4 + 1 * 12);
}

TEST(Simulator, ReadersNeverSeeAPartialFileWhileItRuns) {
    kernel_tree tree;
    running_sim sim(
        {"/sys/kernel", "--interval", "5", "--sessions", "16", "--sockets", "16", "--seed", "7"});
    ASSERT_NE(sim.ready_line.find("ready"), std::string::npos) << sim.ready_line;

    const std::regex counter_line("[0-9]+( [0-9]+){6}\n");
    const std::regex value_line("[0-9]+\n");
    std::set<unsigned> ids_seen;
    long long last_disk_samples = -1;
    long long files_checked = 0;
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed > std::chrono::seconds(10)) break;
        if (elapsed > std::chrono::seconds(1) && ids_seen.size() > 16) break;

        // Whatever the timing, a file that can be opened holds one whole line.
        for (const fs::path& path : visible_files()) {
            std::ifstream in(path);
            if (!in) continue;  // its directory went away meanwhile
            std::ostringstream text;
            text << in.rdbuf();
            std::string name = path.filename().string();
            bool is_value = name == "id" || name == "lba" || name == "max_num_active";
            EXPECT_TRUE(std::regex_match(text.str(), is_value ? value_line : counter_line))
                << path << ": \"" << text.str() << "\"";
            ++files_checked;
        }

        sanserver_performance_info server;
        std::list<disk_queue_info> queues;
        server.get_disk_queue_perf_info(queues);
        long long disk_samples = 0;
        for (const disk_queue_info& q : queues)
            disk_samples += q.handler_samples + q.processing_samples;
        EXPECT_GE(disk_samples, last_disk_samples);
        last_disk_samples = disk_samples;

        sanperf_tools::selection sessions_only;
        sessions_only.disks = sessions_only.sockets = false;
        for (const session_info& s : sanperf_tools::take_snapshot(sessions_only).sessions)
            ids_seen.insert(s.id);
    }
    // A session that ended while it was read is left out, not shown as 0.
    EXPECT_EQ(ids_seen.count(0), 0u);
    EXPECT_GT(ids_seen.size(), 16u) << "no session ended and was replaced";
    EXPECT_GT(files_checked, 1000);

    ASSERT_EQ(sim.stop(), 0);
    // Stopped between two states: the last one is left complete, with no
    // work in progress lying around.
    auto files = snapshot();
    EXPECT_EQ(files.size(), 96u + 16 * 4 + 16 * 12);
    for (const auto& entry : fs::recursive_directory_iterator("/sys/kernel")) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    }
}

TEST(Simulator, CommandLineErrorsAndExitCodes) {
    kernel_tree tree;
    const std::vector<std::vector<std::string>> usage_errors = {
        {},
        {"/sys/kernel", "--bogus"},
        {"/sys/kernel", "extra"},
        {"/sys/kernel", "--interval", "0"},
        {"/sys/kernel", "--sessions", "many"},
        {"/sys/kernel", "--seed", "-1"},
        {"/sys/kernel", "--seed", "18446744073709551616"},
        {"/sys/kernel", "--fault", "session9:slow"},  // 8 sessions by default
        {"/sys/kernel", "--sockets", "2", "--fault", "sock3/wait_for_space:busy"},
        {"/sys/kernel", "--fault", "disk1_3"},
        {""},
    };
    for (const auto& args : usage_errors) {
        outcome run = run_sim(args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(run.exit_code, 2) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_EQ(run.err.rfind("sanperf-sim: ", 0), 0u) << shown << run.err;
        EXPECT_NE(run.err.find("usage: sanperf-sim"), std::string::npos) << shown << run.err;
        // One line about the mistake and the usage (two lines and a hint),
        // not the whole help.
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 4) << shown << run.err;
    }
    EXPECT_TRUE(snapshot().empty()) << "a refused command wrote something";

    outcome help = run_sim({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Usage: "), std::string::npos);
    outcome version = run_sim({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out.rfind("sanperf-sim ", 0), 0u) << version.out;

    tree.write_file("plain_file", "x\n");
    outcome unwritable = run_sim({"/sys/kernel/plain_file/tree", "--once"});
    EXPECT_EQ(unwritable.exit_code, 1);
    EXPECT_NE(unwritable.err.find("/sys/kernel/plain_file/tree"), std::string::npos)
        << unwritable.err;
    EXPECT_EQ(std::count(unwritable.err.begin(), unwritable.err.end(), '\n'), 1) << unwritable.err;
}

// Hidden entries below root: work in progress the simulator left behind.
std::vector<std::string> hidden_entries(const std::string& root) {
    std::vector<std::string> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().filename().string()[0] == '.') found.push_back(it->path().string());
    }
    return found;
}

TEST(Simulator, StopRequestEndsTheFirstStatePromptlyAndCleanly) {
    kernel_tree tree;
    std::vector<std::string> args{"/sys/kernel/big", "--once", "--sessions", "5000",
                                  "--sockets",       "5000"};
    std::vector<char*> argv = argv_of(args);
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    // The first state is written beside the tree; its session directory is
    // made before the first file is written, long before 80,000 files are.
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (hidden_entries("/sys/kernel").empty() && std::chrono::steady_clock::now() < give_up)
        usleep(1000);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_EQ(hidden_entries("/sys/kernel"), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists("/sys/kernel/big"));
}

// How much of a first state of 1,000 sessions a reader polling dir saw the
// first time it found anything there: sessions, sockets, disk queue files.
struct first_sight {
    std::size_t sessions = 0, sockets = 0, disk_files = 0;
};
first_sight first_sight_of(const std::string& dir) {
    std::vector<std::string> args{dir, "--once", "--sessions", "1000", "--sockets", "1000"};
    std::vector<char*> argv = argv_of(args);
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    auto count = [](const fs::path& p) {
        std::error_code error;
        std::size_t n = 0;
        for (fs::directory_iterator it(p, error), end; !error && it != end; it.increment(error))
            if (it->path().filename().string()[0] != '.') ++n;
        return n;
    };
    first_sight seen;
    std::error_code error;
    for (bool exited = false; !exited;) {
        exited = waitpid(pid, nullptr, WNOHANG) == pid;
        if (!fs::exists(dir + "/disk_queue") && !fs::exists(dir + "/session")) continue;
        seen.sessions = count(dir + "/session");
        seen.sockets = count(dir + "/sock");
        for (fs::recursive_directory_iterator it(dir + "/disk_queue", error), end;
             !error && it != end; it.increment(error))
            if (it->is_regular_file(error)) ++seen.disk_files;
        if (!exited) waitpid(pid, nullptr, 0);
        break;
    }
    return seen;
}

TEST(Simulator, FirstStateAppearsWholeInAMissingOrEmptyDirectory) {
    kernel_tree tree;
    tree.make_dir("empty");
    for (const std::string dir : {"/sys/kernel/new/tree", "/sys/kernel/empty"}) {
        first_sight seen = first_sight_of(dir);
        EXPECT_EQ(seen.sessions, 1000u) << dir;
        EXPECT_EQ(seen.sockets, 1000u) << dir;
        EXPECT_EQ(seen.disk_files, 96u) << dir;
        EXPECT_EQ(hidden_entries("/sys/kernel"), std::vector<std::string>{}) << dir;
    }
}

TEST(SimulatorPace, BehindIsSaidAtMostOnceAMinuteWhileItLasts) {
    using namespace std::chrono;
    const pace::clock_type::time_point start{};
    pace clock(1000, start);
    EXPECT_FALSE(clock.took(milliseconds(900), start + seconds(1)));
    std::optional<std::string> first = clock.took(milliseconds(6500), start + seconds(8));
    ASSERT_TRUE(first);
    EXPECT_NE(first->find("took 6.5 s, 5.5 s longer than the interval of 1000 ms"),
              std::string::npos)
        << *first;
    EXPECT_FALSE(clock.took(milliseconds(6500), start + seconds(15)));
    EXPECT_FALSE(clock.took(milliseconds(6500), start + seconds(67)));
    std::optional<std::string> again = clock.took(milliseconds(7000), start + seconds(68));
    ASSERT_TRUE(again);
    EXPECT_NE(again->find("took 7.0 s, 6.0 s longer"), std::string::npos) << *again;
    // Simulated time follows the clock, in whole milliseconds.
    EXPECT_EQ(clock.step(start + milliseconds(2500)), 2500u);
    EXPECT_EQ(clock.step(start + milliseconds(2500)), 0u);
}

// The samples the disk queue streams active in the first state have taken.
long long active_disk_samples(std::vector<long long>& first_state) {
    sanserver_performance_info server;
    std::list<disk_queue_info> queues;
    server.get_disk_queue_perf_info(queues);
    std::vector<long long> now;
    for (const disk_queue_info& q : queues) {
        now.push_back(q.handler_samples);
        now.push_back(q.processing_samples);
    }
    if (first_state.empty()) first_state = now;
    long long total = 0;
    for (std::size_t i = 0; i < now.size(); ++i)
        if (first_state[i] > 0) total += now[i];
    return total;
}

// Disk queue samples per second of a running simulator, with what it said
// on standard error.
double disk_rate(const std::string& objects, std::string& err) {
    kernel_tree tree;
    std::FILE* err_file = std::tmpfile();
    running_sim sim({"/sys/kernel", "--interval", "1", "--seed", "5", "--sessions", objects,
                     "--sockets", objects},
                    err_file);
    std::vector<long long> first_state;
    long long before = active_disk_samples(first_state);
    auto start = std::chrono::steady_clock::now();
    usleep(1500 * 1000);
    long long after = active_disk_samples(first_state);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sim.stop();
    err = read_stream(err_file);
    std::fclose(err_file);
    return static_cast<double>(after - before) / seconds;
}

TEST(Simulator, FallingBehindIsSaidOnceAndTimeFollowsTheClock) {
    // A small tree keeps to a 1 ms interval, a big one cannot. Their disk
    // queues start alike (same seed), so their rates must be alike too. The
    // bounds are loose: the big tree's last update may lag the clock by an
    // update's length on a busy machine, while a simulator whose time
    // advanced by the interval alone falls a hundred times short.
    std::string small_err, big_err;
    double small = disk_rate("8", small_err);
    double big = disk_rate("1500", big_err);
    ASSERT_GT(small, 0);
    EXPECT_GT(big / small, 0.2) << big << " samples/s against " << small;
    EXPECT_LT(big / small, 3.0) << big << " samples/s against " << small;
    const std::string warning = "sanperf-sim: behind: an update took ";
    auto said = big_err.find(warning);
    EXPECT_NE(said, std::string::npos) << big_err;
    EXPECT_EQ(big_err.find(warning, said + 1), std::string::npos) << big_err;
}

TEST(Simulator, FullDiskLeavesNoTemporaryFiles) {
    kernel_tree tree;
    // Room for some of the disk queue files only, then for the disk queues
    // but not all the sessions (whose directories are filled hidden).
    for (const char* size : {"size=64k", "size=440k"}) {
        SCOPED_TRACE(size);
        tree.make_dir("full");
        ASSERT_EQ(mount("sanperf-full", "/sys/kernel/full", "tmpfs", 0, size), 0);
        outcome run =
            run_sim({"/sys/kernel/full", "--once", "--sessions", "50", "--sockets", "50"});
        std::vector<std::string> hidden = hidden_entries("/sys/kernel/full");
        umount("/sys/kernel/full");
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
        EXPECT_EQ(hidden, std::vector<std::string>{});
        tree.remove("full");
    }
}

// ---- Faults --------------------------------------------------------------

using sanperf_sim::fault;
using sanperf_sim::fault_kind;
using sanperf_sim::object_kind;

TEST(SimulatorFaults, TextFormsAndRefusals) {
    struct good_case {
        const char* text;
        object_kind object;
        unsigned number;  // disk * 10 + queue for disk queues
        int stream;
        fault_kind kind;
        std::uint64_t value;
        std::uint64_t after_ms;
    };
    const int all = sanperf_sim::all_streams;
    const good_case good[] = {
        {"disk1_3:slow", object_kind::disk_queue, 13, all, fault_kind::slow, 500000, 0},
        {"disk4_7/processing:slow=250ms:after=5s", object_kind::disk_queue, 47, 1, fault_kind::slow,
         250000, 5000},
        {"session12/write:busy=300", object_kind::session, 12, 1, fault_kind::busy, 300, 0},
        {"session1:busy:after=2m", object_kind::session, 1, all, fault_kind::busy, 20000, 120000},
        {"sock2/wait_for_space:busy:after=1500ms", object_kind::socket, 2, 10, fault_kind::busy,
         20000, 1500},
        {"sock7/aio_read:slow=1s:after=0", object_kind::socket, 7, 0, fault_kind::slow, 1000000, 0},
        {"sock7:slow=40us", object_kind::socket, 7, all, fault_kind::slow, 40, 0},
        {"sock7:slow=1.5ms:after=0.25s", object_kind::socket, 7, all, fault_kind::slow, 1500, 250},
    };
    for (const good_case& c : good) {
        fault f;
        std::string error;
        ASSERT_TRUE(sanperf_sim::parse_fault(c.text, f, error)) << c.text << ": " << error;
        EXPECT_EQ(f.object, c.object) << c.text;
        EXPECT_EQ(f.object == object_kind::disk_queue ? unsigned(f.disk * 10 + f.queue) : f.number,
                  c.number)
            << c.text;
        EXPECT_EQ(f.stream, c.stream) << c.text;
        EXPECT_EQ(f.kind, c.kind) << c.text;
        EXPECT_EQ(f.value, c.value) << c.text;
        EXPECT_EQ(f.after_ms, c.after_ms) << c.text;
    }
    for (const char* bad : {"",
                            "disk1_3",
                            "disk1_3:",
                            "disk0_1:slow",
                            "disk5_0:slow",
                            "disk1_8:slow",
                            "disk1:slow",
                            "session0:busy",
                            "sock0:busy",
                            "session1/reads:slow",
                            "disk1_1/wait_for_space:slow",
                            "sock1/read:slow",
                            "sock1:stuck",
                            "sock1:slow=0",
                            "sock1:slow=2m",
                            "sock1:slow=5",
                            "sock1:slow=0.4us",
                            "sock1:slow=1e3us",
                            "sock1:busy=0",
                            "sock1:busy=1000001",
                            "sock1:busy=1e3",
                            "sock1:slow:after=5",
                            "sock1:slow:after=-5s",
                            "sock1:slow:5s",
                            "sock1:slow:after=1s:x",
                            "queue1:slow",
                            "session1 :slow"}) {
        fault f;
        std::string error;
        EXPECT_FALSE(sanperf_sim::parse_fault(bad, f, error)) << "'" << bad << "' was taken";
        EXPECT_FALSE(error.empty()) << bad;
    }
}

// What one stream did over one step of the model.
struct step_view {
    long long samples = 0;
    long long time = 0;
    double per_sample() const { return samples ? double(time) / double(samples) : 0; }
};

step_view step_of(const sanperf_sim::activity& a, const sanperf_tools::counter_values& before) {
    return {a.totals.samples - before.samples, a.totals.total_time - before.total_time};
}

// The normal streams' time per operation: a mean of at most 2019us, each
// step's average at most one and a half times that.
constexpr double normal_time_ceiling = 3100;

TEST(SimulatorFaults, SlowStreamFromItsStartOnAndNoOtherStream) {
    sanperf_sim::server_model model(21, 4, 4);
    fault f;
    std::string error;
    ASSERT_TRUE(sanperf_sim::parse_fault("disk2_5/handler:slow=200ms:after=3s", f, error)) << error;
    model.add_fault(f);
    ASSERT_TRUE(sanperf_sim::parse_fault("session3:slow=50ms:after=3s", f, error)) << error;
    model.add_fault(f);

    auto& queue = model.disk_queues[1 * 8 + 5];
    auto session3 = [&model]() -> sanperf_sim::session& {
        for (auto& s : model.sessions)
            if (s.id == 3) return s;
        throw std::runtime_error("session 3 is gone");
    };
    for (int second = 0; second < 8; ++second) {
        SCOPED_TRACE("second " + std::to_string(second));
        auto handler = queue.handler.totals, processing = queue.processing.totals;
        auto read = session3().read.totals, write = session3().write.totals;
        auto other = model.disk_queues[0].handler.totals;
        model.advance(1000);
        step_view h = step_of(queue.handler, handler), p = step_of(queue.processing, processing);
        step_view r = step_of(session3().read, read), w = step_of(session3().write, write);
        if (second < 3) {
            EXPECT_LT(h.per_sample(), normal_time_ceiling);
            EXPECT_LT(r.per_sample(), normal_time_ceiling);
        } else {
            // Slow, and sampled often enough for the mean to mean something.
            EXPECT_GE(h.samples, 50);
            EXPECT_GE(h.per_sample(), 100000);
            EXPECT_LE(h.per_sample(), 300000);
            for (const step_view& op : {r, w}) {
                EXPECT_GE(op.samples, 50);
                EXPECT_GE(op.per_sample(), 25000);
                EXPECT_LE(op.per_sample(), 75000);
            }
        }
        // The other stage and the other queues keep their pace.
        EXPECT_LT(p.per_sample(), normal_time_ceiling);
        EXPECT_LT(step_of(model.disk_queues[0].handler, other).per_sample(), normal_time_ceiling);
    }
}

TEST(SimulatorFaults, BusyStreamRunsAtItsRateAndFillsItsQueue) {
    sanperf_sim::server_model model(5, 2, 3);
    fault f;
    std::string error;
    ASSERT_TRUE(sanperf_sim::parse_fault("sock2/wait_for_space:busy=40000", f, error)) << error;
    model.add_fault(f);
    ASSERT_TRUE(sanperf_sim::parse_fault("disk4_0:busy=5000:after=1s", f, error)) << error;
    model.add_fault(f);

    auto& queue = model.disk_queues[3 * 8 + 0];
    model.advance(1000);
    EXPECT_LT(queue.max_num_active, 256) << "busy before its time";
    for (int second = 0; second < 5; ++second) {
        SCOPED_TRACE("second " + std::to_string(second));
        const sanperf_sim::socket* k = nullptr;
        for (const auto& s : model.sockets)
            if (s.number == 2) k = &s;
        ASSERT_NE(k, nullptr);
        std::vector<sanperf_tools::counter_values> slots;
        for (const auto& a : k->slots) slots.push_back(a.totals);
        auto handler = queue.handler.totals;
        model.advance(1000);
        for (std::size_t slot = 0; slot < k->slots.size(); ++slot) {
            long long n = step_of(k->slots[slot], slots[slot]).samples;
            if (slot == 10) {  // wait_for_space: the rate, within the model's jitter
                EXPECT_GE(n, 20000);
                EXPECT_LE(n, 60000);
            } else {
                EXPECT_LE(n, 1600) << sanperf_tools::socket_slot_names[slot];
            }
        }
        long long h = step_of(queue.handler, handler).samples;
        EXPECT_GE(h, 2500);
        EXPECT_LE(h, 7500);
        EXPECT_EQ(queue.max_num_active, 256);
    }
}

TEST(SimulatorFaults, TheFaultySessionAndSocketNeverEnd) {
    sanperf_sim::server_model model(9, 3, 3);
    fault f;
    std::string error;
    ASSERT_TRUE(sanperf_sim::parse_fault("session2/read:busy=100:after=1m", f, error)) << error;
    model.add_fault(f);
    ASSERT_TRUE(sanperf_sim::parse_fault("sock3:slow", f, error)) << error;
    model.add_fault(f);
    std::set<unsigned> ended_sessions, ended_sockets;
    long long last_read = -1, last_slot = -1;
    // Each of the others ends once in 64 steps: 600 steps end about 28.
    for (int step = 0; step < 600; ++step) {
        model.advance(100);
        ended_sessions.insert(model.ended_sessions.begin(), model.ended_sessions.end());
        ended_sockets.insert(model.ended_sockets.begin(), model.ended_sockets.end());
        model.ended_sessions.clear();
        model.ended_sockets.clear();
        long long read = -1, slot = -1;
        for (const auto& s : model.sessions)
            if (s.id == 2) read = s.read.totals.samples;
        for (const auto& k : model.sockets)
            if (k.number == 3) slot = k.slots[0].totals.samples;
        ASSERT_GE(read, last_read) << "session 2 gone or restarted at step " << step;
        ASSERT_GE(slot, last_slot) << "socket 3 gone or restarted at step " << step;
        last_read = read;
        last_slot = slot;
    }
    EXPECT_EQ(ended_sessions.count(2), 0u);
    EXPECT_EQ(ended_sockets.count(3), 0u);
    EXPECT_GE(ended_sessions.size(), 2u) << "no other session ended: the test proves nothing";
    EXPECT_GE(ended_sockets.size(), 2u) << "no other socket ended: the test proves nothing";
}

TEST(SimulatorFaults, TheCommandLineFaultReachesTheTree) {
    kernel_tree tree;
    running_sim sim({"/sys/kernel", "--interval", "20", "--sockets", "2", "--fault",
                     "sock1/wait_for_space:busy=100000"});
    ASSERT_NE(sim.ready_line.find("ready"), std::string::npos) << sim.ready_line;
    auto samples = [] {
        st_perf_stats wait("/sys/kernel/sock/sock1/wait_for_space_stats");
        st_perf_stats read("/sys/kernel/sock/sock1/aio_read_stats");
        return std::make_pair(wait.get_samples(), read.get_samples());
    };
    auto before = samples();
    usleep(500 * 1000);
    auto after = samples();
    // Half a second at 100,000 a second, however slow the machine (time
    // follows the clock), against a normal stream's 1,600 at most.
    EXPECT_GE(after.first - before.first, 20000);
    EXPECT_LE(after.second - before.second, 1600);
}

}  // namespace
