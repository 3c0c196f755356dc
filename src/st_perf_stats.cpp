// The whole of libsanperf: the file reader, the value holders, the directory
// listing and the collectors built on them.

#include "sanperf.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The characters that mark where a file's significant text begins.
const std::string dictionary = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789";

// A set of bytes as a table, so that testing a byte costs one lookup.
struct char_set {
    bool member[256] = {};
    explicit char_set(const std::string& chars) {
        for (char c : chars) member[static_cast<unsigned char>(c)] = true;
    }
    bool contains(char c) const { return member[static_cast<unsigned char>(c)]; }
};
// Where a line's text begins.
const char_set significant(dictionary);

// Real attribute files hold at most one page, so one read of a page-sized
// stack buffer serves every one of them.
constexpr std::size_t page_bytes = 4096;

// Anything longer than a page is not a statistic (a link to /dev/zero, say),
// but a line is still read up to this bound, then cut.
constexpr std::size_t max_line_bytes = 65536;

// read(2), retried when a signal interrupts it. Returns the bytes read; 0 at
// end of file and on any error, since text that cannot be read is no text.
std::size_t read_some(int fd, char* into, std::size_t want) {
    for (;;) {
        ssize_t got = ::read(fd, into, want);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return 0;
    }
}

struct fd_closer {
    int fd;
    ~fd_closer() { ::close(fd); }
};

// Reads the first line of the file at path (at most max_line_bytes of it) and
// calls use(text, size) with the part from its first significant character;
// size is 0 when there is none. text[size] is a NUL, and the text may hold
// NULs of its own. Returns false, without calling use, when the file cannot
// be opened.
//
// O_NONBLOCK keeps a FIFO from waiting for a writer: it reads as a file
// without text. A line longer than a page goes to the heap in page-sized
// pieces; every other line is handled without allocating.
template <typename Use>
bool with_first_line(const std::string& path, Use use) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    fd_closer closer{fd};

    char page[page_bytes];
    std::size_t size = 0;
    bool complete = false;  // newline, end of file or read error reached
    while (!complete && size < sizeof page) {
        std::size_t got = read_some(fd, page + size, sizeof page - size);
        const char* newline = static_cast<const char*>(std::memchr(page + size, '\n', got));
        size = newline != nullptr ? static_cast<std::size_t>(newline - page) : size + got;
        complete = got == 0 || newline != nullptr;
    }

    const char* line = page;
    std::string long_line;
    if (complete) {
        page[size] = '\0';  // a complete line is shorter than the page
    } else {
        long_line.assign(page, size);
        while (long_line.size() < max_line_bytes) {
            std::size_t got =
                read_some(fd, page, std::min(sizeof page, max_line_bytes - long_line.size()));
            const char* newline = static_cast<const char*>(std::memchr(page, '\n', got));
            long_line.append(page,
                             newline != nullptr ? static_cast<std::size_t>(newline - page) : got);
            if (got == 0 || newline != nullptr) break;
        }
        line = long_line.data();
        size = long_line.size();
    }

    const char* end = line + size;
    const char* first = std::find_if(line, end, [](char c) { return significant.contains(c); });
    use(first, static_cast<std::size_t>(end - first));
    return true;
}

// The blanks sscanf skips before and between numbers: isspace in the C
// locale.
const char_set blanks(" \t\n\v\f\r");

// The value of c as a decimal digit; above 9 when c is no digit.
unsigned digit_value(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; }

// Reads the run of digits at p (possibly empty) as a number no larger than
// limit, a run too long to fit saturating there, and leaves p past the run.
unsigned long long digit_run(const char*& p, unsigned long long limit) {
    const char* run = p;
    unsigned long long n = 0;
    for (unsigned d; (d = digit_value(*p)) <= 9; ++p) n = n * 10 + d;
    // Eighteen digits always fit; a longer run may have wrapped around, so it
    // is read again with a check on every digit.
    if (p - run <= 18) return n;
    n = 0;
    for (const char* q = run; q != p; ++q) {
        unsigned d = digit_value(*q);
        n = n > (limit - d) / 10 ? limit : n * 10 + d;
    }
    return n;
}

// Converts the numbers at the start of the NUL-terminated text into slots, in
// order, as sscanf(text, "%lld %lld ...") with one conversion per slot does:
// blanks are skipped before each number, each number may carry one sign,
// digits past the range saturate at LLONG_MAX or LLONG_MIN, and the first
// thing that is not a number (text, a sign without a digit, a NUL) stops the
// conversion, leaving that slot and the later ones as they were.
template <std::size_t N>
void convert_numbers(const char* p, long long* const (&slots)[N]) {
    for (long long* slot : slots) {
        while (blanks.contains(*p)) ++p;
        bool negative = *p == '-';
        if (negative || *p == '+') ++p;
        const unsigned long long limit = negative ? 1ULL << 63 : (1ULL << 63) - 1;
        const char* run = p;
        unsigned long long magnitude = digit_run(p, limit);
        if (p == run) return;
        if (!negative) {
            *slot = static_cast<long long>(magnitude);
        } else if (magnitude == limit) {
            *slot = LLONG_MIN;
        } else {
            *slot = -static_cast<long long>(magnitude);
        }
    }
}

// Reads the value-line file at path into value: 0 when the file cannot be
// opened, value unchanged when its line holds no number.
void read_value(const std::string& path, long long& value) {
    long long* const slots[] = {&value};
    bool opened =
        with_first_line(path, [&](const char* text, std::size_t) { convert_numbers(text, slots); });
    if (!opened) value = 0;
}

constexpr long long no_sample_minimum = 4294967295LL;

constexpr int queues_per_disk = 8;

long long sentinel_to_zero(long long minimum) { return minimum == no_sample_minimum ? 0 : minimum; }

// Deletes every collector a container owns and empties it. Used by the
// destructors and by constructors that fail halfway.
template <typename Container>
void delete_all(Container& owned) {
    for (auto* p : owned) delete p;
    owned.clear();
}

// The first run of digits in name as a number, saturating at limit instead
// of wrapping; 0 when the name holds no digit.
unsigned long long first_number(const char* name, unsigned long long limit) {
    const char* p = name;
    while (*p != '\0' && digit_value(*p) > 9) ++p;
    return digit_run(p, limit);
}

// The names of the files in one directory, built in one string that keeps
// the directory and replaces only what follows it, so that a collector makes
// one allocation for all its file names.
class file_names {
public:
    explicit file_names(const std::string& dir) : dir_size(dir.size()) {
        // Room for any file name of the tree; a longer one only reallocates.
        name.reserve(dir_size + 64);
        name.assign(dir);
    }
    const std::string& operator()(const char* file) {
        name.erase(dir_size);
        return name.append(file);
    }

private:
    std::string name;
    std::size_t dir_size;
};

int compare_entries(const dirent** a, const dirent** b) { return dirname_sort(a, b); }

// Owns the array scandir returns and releases what the listing loop has not
// consumed yet, on the normal and the exceptional path alike.
struct scandir_result {
    dirent** entries = nullptr;
    int count = 0;
    int next = 0;

    ~scandir_result() {
        for (; next < count; ++next) std::free(entries[next]);
        std::free(entries);
    }
};

// Lists dir (with a trailing slash) through filter in numeric order of the
// entry names and replaces out with to_number(name) of each entry. A missing
// or unreadable directory gives an empty list.
template <typename ToNumber>
void list_numbered_dirs(const char* dir, int (*filter)(const dirent*), std::list<unsigned int>& out,
                        ToNumber to_number) {
    out.clear();
    scandir_result list;
    int count = scandir(dir, &list.entries, filter, compare_entries);
    if (count < 0) {
        list.entries = nullptr;
        return;
    }
    list.count = count;
    for (; list.next < list.count; ++list.next) {
        dirent* entry = list.entries[list.next];
        out.push_back(to_number(entry->d_name));
        std::free(entry);
    }
}

}  // namespace

// ---- st_perf_stats -------------------------------------------------------

st_perf_stats::st_perf_stats() { bzero(); }

st_perf_stats::st_perf_stats(const std::string& path) {
    bzero();
    initialize(path);
}

st_perf_stats::st_perf_stats(const st_perf_stats& other) { copy(other); }

st_perf_stats& st_perf_stats::operator=(const st_perf_stats& other) {
    copy(other);
    return *this;
}

st_perf_stats::~st_perf_stats() {}

void st_perf_stats::copy(const st_perf_stats& other) {
    samples = other.samples;
    total_time = other.total_time;
    min_time = other.min_time;
    max_time = other.max_time;
    total_count = other.total_count;
    min_count = other.min_count;
    max_count = other.max_count;
}

void st_perf_stats::bzero() {
    samples = 0;
    total_time = 0;
    min_time = 0;
    max_time = 0;
    total_count = 0;
    min_count = 0;
    max_count = 0;
}

void st_perf_stats::reset() { bzero(); }

void st_perf_stats::initialize(const std::string& path) {
    // Slots in the order the counter line lists them.
    long long* const slots[] = {&samples,    &total_count, &max_count, &min_count,
                                &total_time, &max_time,    &min_time};
    bool opened =
        with_first_line(path, [&](const char* text, std::size_t) { convert_numbers(text, slots); });
    if (!opened) bzero();
}

bool st_perf_stats::extract_string_from_file(const std::string& path, std::string& out) {
    with_first_line(path, [&](const char* text, std::size_t size) {
        if (size == 0) {
            out.assign(" ");
        } else {
            out.assign(text, size);
        }
    });
    return !out.empty();
}

// ---- st_property ---------------------------------------------------------

st_property::st_property(const std::string& file) : value(0), path(file) { initialize(file); }

void st_property::initialize(const std::string& file) {
    path = file;
    read_value(file, value);
}

// ---- directory callbacks -------------------------------------------------

int session_scandir_select(const dirent* entry) {
    if (entry->d_name[0] == '.') return 0;
    return std::strncmp(entry->d_name, "session", 7) == 0 ? 1 : 0;
}

int socket_scandir_select(const dirent* entry) {
    if (entry->d_name[0] == '.') return 0;
    return std::strncmp(entry->d_name, "sock", 4) == 0 ? 1 : 0;
}

int dirname_sort(const void* a, const void* b) {
    std::uint64_t x = first_number((*static_cast<const dirent* const*>(a))->d_name, UINT64_MAX);
    std::uint64_t y = first_number((*static_cast<const dirent* const*>(b))->d_name, UINT64_MAX);
    return (x > y) - (x < y);
}

// ---- disk queues ---------------------------------------------------------

disk_queue_perf_stats::disk_queue_perf_stats(int disk_number, int queue_number)
    : disk(disk_number), queue(queue_number) {
    {
        st_perf_auto_ptr buf;
        std::snprintf(buf.c_ptr(), buf.get_size(), "/sys/kernel/disk_queue/disk%d_%d/", disk,
                      queue);
        path = buf.c_ptr();
    }
    file_names file(path);
    handler_stats.initialize(file("async_handler_task_perf_stats"));
    processing_stats.initialize(file("async_processing_perf_stats"));
    max_num_active.initialize(file("max_num_active"));
}

void disk_queue_perf_stats::get_queue_stats(disk_queue_info& info) {
    info.handler_samples = handler_stats.get_samples();
    info.handler_total_time = handler_stats.get_total_time();
    info.handler_min_time = sentinel_to_zero(handler_stats.get_min_time());
    info.handler_max_time = handler_stats.get_max_time();
    info.handler_total_count = handler_stats.get_total_count();
    info.handler_min_count = sentinel_to_zero(handler_stats.get_min_count());
    info.handler_max_count = handler_stats.get_max_count();
    info.processing_samples = processing_stats.get_samples();
    info.processing_total_time = processing_stats.get_total_time();
    info.processing_min_time = sentinel_to_zero(processing_stats.get_min_time());
    info.processing_max_time = processing_stats.get_max_time();
    info.processing_total_count = processing_stats.get_total_count();
    info.processing_min_count = sentinel_to_zero(processing_stats.get_min_count());
    info.processing_max_count = processing_stats.get_max_count();
    info.max_num_active = static_cast<unsigned int>(max_num_active.get_value());
}

disk_performance_info::disk_performance_info(int disk_number) : disk(disk_number) {
    queues.reserve(queues_per_disk);
    try {
        for (int queue = 0; queue < queues_per_disk; ++queue) {
            queues.push_back(new disk_queue_perf_stats(disk, queue));
        }
    } catch (...) {
        delete_all(queues);
        throw;
    }
}

disk_performance_info::~disk_performance_info() { delete_all(queues); }

void disk_performance_info::get_queue_stats(int queue, disk_queue_info& info) {
    if (queue < 0 || queue >= queues_per_disk) return;
    queues[static_cast<std::size_t>(queue)]->get_queue_stats(info);
}

// ---- sessions ------------------------------------------------------------

session_perf_stats::session_perf_stats(int session) {
    {
        st_perf_auto_ptr buf;
        std::snprintf(buf.c_ptr(), buf.get_size(), "/sys/kernel/session/session%d/", session);
        path = buf.c_ptr();
    }
    file_names file(path);
    read_stats.initialize(file("read_perf_stats"));
    write_stats.initialize(file("write_perf_stats"));
    id.initialize(file("id"));
    lba.initialize(file("lba"));
}

void session_perf_stats::get_session_info(session_info& info) {
    info.id = static_cast<unsigned int>(id.get_value());
    info.lba = static_cast<unsigned int>(lba.get_value());
    info.write_samples = write_stats.get_samples();
    info.write_total_time = write_stats.get_total_time();
    info.write_min_time = sentinel_to_zero(write_stats.get_min_time());
    info.write_max_time = write_stats.get_max_time();
    info.read_samples = read_stats.get_samples();
    info.read_total_time = read_stats.get_total_time();
    info.read_min_time = sentinel_to_zero(read_stats.get_min_time());
    info.read_max_time = read_stats.get_max_time();
}

session_performance_info::session_performance_info() {
    std::list<unsigned int> ids;
    get_sessions_list(ids);
    try {
        for (unsigned int id : ids) {
            // Make room first, so a failing push_back cannot leak a collector.
            sessions.push_back(nullptr);
            sessions.back() = new session_perf_stats(static_cast<int>(id));
        }
    } catch (...) {
        delete_all(sessions);
        throw;
    }
}

session_performance_info::~session_performance_info() { delete_all(sessions); }

void session_performance_info::get_sessions_list(std::list<unsigned int>& ids) {
    // Each id is read as a fresh property would read it, through one name
    // string reused for every entry.
    std::string file;
    list_numbered_dirs("/sys/kernel/session/", session_scandir_select, ids, [&](const char* name) {
        file.assign("/sys/kernel/session/").append(name).append("/id");
        long long id = 0;
        read_value(file, id);
        return static_cast<unsigned int>(id);
    });
}

void session_performance_info::extract_session_perf_info_list(std::list<session_info>& out) {
    out.clear();
    for (session_perf_stats* session : sessions) {
        session_info info;
        session->get_session_info(info);
        out.push_back(info);
    }
}

// ---- sockets -------------------------------------------------------------

namespace {

// The twelve counter files of a socket, by slot.
const char* const socket_slot_files[12] = {
    "aio_read_stats",
    "aio_write_stats",
    "perform_io_read_stats",
    "perform_io_write_stats",
    "post_read_stats",
    "post_write_stats",
    "queue_modify_tx_offset_stats",
    "queue_modify_rx_offset_stats",
    "socket_read_stats",
    "socket_write_stats",
    "wait_for_space_stats",
    "wait_until_data_available_stats",
};

// The order the slots are read in: rx (slot 7) before tx (slot 6).
const int socket_read_order[12] = {0, 1, 2, 3, 4, 5, 7, 6, 8, 9, 10, 11};

}  // namespace

socket_perf_stats::socket_perf_stats(int socket_number) : number(socket_number) {
    {
        st_perf_auto_ptr buf;
        std::snprintf(buf.c_ptr(), buf.get_size(), "/sys/kernel/sock/sock%d/", number);
        path = buf.c_ptr();
    }
    file_names file(path);
    for (int slot : socket_read_order) stats[slot].initialize(file(socket_slot_files[slot]));
}

void socket_perf_stats::get_socket_info(sock_info& info) {
    info.number = static_cast<unsigned int>(number);
    for (int slot = 0; slot < 12; ++slot) extract_sock_stats(info.stats[slot], stats[slot]);
}

void socket_perf_stats::extract_sock_stats(sock_stats& out, st_perf_stats& in) {
    out.samples = in.get_samples();
    out.total_time = in.get_total_time();
    out.min_time = sentinel_to_zero(in.get_min_time());
    out.max_time = in.get_max_time();
}

socket_performance_info::socket_performance_info() {
    std::list<unsigned int> numbers;
    get_sockets_list(numbers);
    try {
        for (unsigned int number : numbers) {
            sockets.push_back(nullptr);
            sockets.back() = new socket_perf_stats(static_cast<int>(number));
        }
    } catch (...) {
        delete_all(sockets);
        throw;
    }
}

socket_performance_info::~socket_performance_info() { delete_all(sockets); }

unsigned int socket_performance_info::socket_name_to_number(const char* name) {
    // A run past LONG_MAX reads as LONG_MAX, as strtol reads it.
    return static_cast<unsigned int>(first_number(name, LONG_MAX));
}

void socket_performance_info::get_sockets_list(std::list<unsigned int>& numbers) {
    list_numbered_dirs("/sys/kernel/sock/", socket_scandir_select, numbers,
                       [this](const char* name) { return socket_name_to_number(name); });
}

void socket_performance_info::extract_socket_perf_info_list(std::list<sock_info>& out) {
    out.clear();
    for (socket_perf_stats* socket : sockets) {
        sock_info info;
        socket->get_socket_info(info);
        out.push_back(info);
    }
}

// ---- facade --------------------------------------------------------------

sanserver_performance_info::sanserver_performance_info() : disk_count(4) {
    disks.reserve(static_cast<std::size_t>(disk_count));
    try {
        for (int disk = 1; disk <= disk_count; ++disk)
            disks.push_back(new disk_performance_info(disk));
    } catch (...) {
        delete_all(disks);
        throw;
    }
}

sanserver_performance_info::~sanserver_performance_info() { delete_all(disks); }

void sanserver_performance_info::get_disk_queue_perf_info(std::list<disk_queue_info>& out) {
    disk_queue_info record;
    st_perf_auto_ptr buf;
    out.clear();
    for (int i = 0; i < disk_count; ++i) {
        for (int q = 0; q < queues_per_disk; ++q) {
            disks[static_cast<std::size_t>(i)]->get_queue_stats(q, record);
            std::snprintf(buf.c_ptr(), buf.get_size(), "disk%d_%d", i + 1, q);
            record.name = buf.c_ptr();
            out.push_back(record);
        }
    }
}

// The session and socket listings are all or nothing: the records are read
// and copied into a local list, which replaces out only once it is complete,
// so a failure anywhere leaves out as it was.

void sanserver_performance_info::get_session_perf_info(std::list<session_info>& out) {
    std::list<session_info> fresh;
    {
        session_performance_info sessions;
        sessions.extract_session_perf_info_list(fresh);
    }
    out.swap(fresh);
}

void sanserver_performance_info::get_socket_perf_info(std::list<sock_info>& out) {
    std::list<sock_info> fresh;
    {
        socket_performance_info sockets;
        sockets.extract_socket_perf_info_list(fresh);
    }
    out.swap(fresh);
}
