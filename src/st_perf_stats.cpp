// The whole of libsanperf: the file reader, the value holders, the directory
// listing and the collectors built on them.

#include "sanperf.h"

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

// The characters that mark where a file's significant text begins.
const std::string dictionary = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789";

// Real attribute files hold at most one page; anything longer is not a
// statistic (a link to /dev/zero, say), so the reader stops there.
constexpr std::size_t max_line_bytes = 65536;

constexpr long long no_sample_minimum = 4294967295LL;

constexpr int queues_per_disk = 8;

const char* const digits = "0123456789";

long long sentinel_to_zero(long long minimum) {
    return minimum == no_sample_minimum ? 0 : minimum;
}

// Deletes every collector a container owns and empties it. Used by the
// destructors and by constructors that fail halfway.
template <typename Container>
void delete_all(Container& owned) {
    for (auto* p : owned) delete p;
    owned.clear();
}

// The first run of digits in name as an unsigned number, saturating instead
// of wrapping; 0 when the name holds no digit.
std::uint64_t first_number(const char* name) {
    const char* p = name + std::strcspn(name, digits);
    std::uint64_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned d = static_cast<unsigned>(*p - '0');
        n = n > (UINT64_MAX - d) / 10 ? UINT64_MAX : n * 10 + d;
    }
    return n;
}

// Sets name to dir followed by file and returns it. Collectors reuse one
// name string for all their files instead of building a new one per file.
const std::string& file_in(std::string& name, const std::string& dir, const char* file) {
    return name.assign(dir).append(file);
}

int compare_entries(const dirent** a, const dirent** b) {
    return dirname_sort(a, b);
}

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
void list_numbered_dirs(const char* dir, int (*filter)(const dirent*),
                        std::list<unsigned int>& out, ToNumber to_number) {
    out.clear();
    scandir_result list;
    int count = scandir(dir, &list.entries, filter, compare_entries);
    if (count < 0) {
        list.entries = nullptr;
        return;
    }
    list.count = count;
    for (; list.next < list.count; ++list.next) {
        dirent*& entry = list.entries[list.next];
        if (entry == nullptr) continue;
        out.push_back(to_number(entry->d_name));
        std::free(entry);
        entry = nullptr;
    }
}

}  // namespace

// ---- st_perf_stats -------------------------------------------------------

st_perf_stats::st_perf_stats() {
    bzero();
}

st_perf_stats::st_perf_stats(const std::string& path) {
    bzero();
    initialize(path);
}

st_perf_stats::st_perf_stats(const st_perf_stats& other) {
    copy(other);
}

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

void st_perf_stats::reset() {
    bzero();
}

void st_perf_stats::initialize(const std::string& path) {
    std::string text;
    if (extract_string_from_file(path, text)) {
        std::sscanf(text.c_str(), "%lld %lld %lld %lld %lld %lld %lld", &samples, &total_count,
                    &max_count, &min_count, &total_time, &max_time, &min_time);
    } else {
        bzero();
    }
}

bool st_perf_stats::extract_string_from_file(const std::string& path, std::string& out) {
    // A stack buffer for the stream spares each file the filebuf's own heap
    // buffer; a statistic is one short line, so it fills in one read.
    char io_buffer[1024];
    std::ifstream in;
    in.rdbuf()->pubsetbuf(io_buffer, sizeof io_buffer);
    in.open(path, std::ios::in);
    if (in.good()) {
        // Read the first line in small pieces rather than with getline: every
        // allocation then happens here, where std::bad_alloc reaches the
        // caller, and the line is cut at max_line_bytes without a large buffer.
        std::string line;
        char piece[256];
        while (line.size() < max_line_bytes) {
            std::streamsize want =
                static_cast<std::streamsize>(std::min(sizeof piece, max_line_bytes - line.size() + 1));
            in.get(piece, want, '\n');
            std::streamsize got = in.gcount();
            line.append(piece, static_cast<std::size_t>(got));
            if (got + 1 < want) break;  // newline, end of file or read error
        }
        std::size_t first = line.find_first_of(dictionary);
        if (first == std::string::npos) {
            out.assign(" ");
        } else {
            // Hand the line over rather than copy it.
            line.erase(0, first);
            out.swap(line);
        }
    }
    return !out.empty();
}

// ---- st_property ---------------------------------------------------------

st_property::st_property(const std::string& path) : value(0), path(path) {
    initialize(path);
}

void st_property::initialize(const std::string& path) {
    this->path = path;
    std::string text;
    if (st_perf_stats::extract_string_from_file(path, text)) {
        std::sscanf(text.c_str(), "%lld", &value);
    } else {
        value = 0;
    }
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
    std::uint64_t x = first_number((*static_cast<const dirent* const*>(a))->d_name);
    std::uint64_t y = first_number((*static_cast<const dirent* const*>(b))->d_name);
    return (x > y) - (x < y);
}

// ---- disk queues ---------------------------------------------------------

disk_queue_perf_stats::disk_queue_perf_stats(int disk, int queue) : disk(disk), queue(queue) {
    {
        st_perf_auto_ptr buf;
        std::snprintf(buf.c_ptr(), buf.get_size(), "/sys/kernel/disk_queue/disk%d_%d/", disk, queue);
        path = buf.c_ptr();
    }
    std::string file;
    handler_stats.initialize(file_in(file, path, "async_handler_task_perf_stats"));
    processing_stats.initialize(file_in(file, path, "async_processing_perf_stats"));
    max_num_active.initialize(file_in(file, path, "max_num_active"));
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

disk_performance_info::disk_performance_info(int disk) : disk(disk) {
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

disk_performance_info::~disk_performance_info() {
    delete_all(queues);
}

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
    std::string file;
    read_stats.initialize(file_in(file, path, "read_perf_stats"));
    write_stats.initialize(file_in(file, path, "write_perf_stats"));
    id.initialize(file_in(file, path, "id"));
    lba.initialize(file_in(file, path, "lba"));
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

session_performance_info::~session_performance_info() {
    delete_all(sessions);
}

void session_performance_info::get_sessions_list(std::list<unsigned int>& ids) {
    list_numbered_dirs("/sys/kernel/session/", session_scandir_select, ids, [](const char* name) {
        std::string file = "/sys/kernel/session/";
        file.append(name).append("/id");
        st_property id;
        id.initialize(file);
        return static_cast<unsigned int>(id.get_value());
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

socket_perf_stats::socket_perf_stats(int number) : number(number) {
    {
        st_perf_auto_ptr buf;
        std::snprintf(buf.c_ptr(), buf.get_size(), "/sys/kernel/sock/sock%d/", number);
        path = buf.c_ptr();
    }
    std::string file;
    for (int slot : socket_read_order) stats[slot].initialize(file_in(file, path, socket_slot_files[slot]));
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

socket_performance_info::~socket_performance_info() {
    delete_all(sockets);
}

unsigned int socket_performance_info::socket_name_to_number(const char* name) {
    const char* first = name + std::strcspn(name, digits);
    if (*first == '\0') return 0;
    return static_cast<unsigned int>(std::strtol(first, nullptr, 10));
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
        for (int disk = 1; disk <= disk_count; ++disk) disks.push_back(new disk_performance_info(disk));
    } catch (...) {
        delete_all(disks);
        throw;
    }
}

sanserver_performance_info::~sanserver_performance_info() {
    delete_all(disks);
}

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

void sanserver_performance_info::get_session_perf_info(std::list<session_info>& out) {
    // Built before out is touched: a failure while reading leaves out as it was.
    session_performance_info sessions;
    sessions.extract_session_perf_info_list(out);
}

void sanserver_performance_info::get_socket_perf_info(std::list<sock_info>& out) {
    socket_performance_info sockets;
    sockets.extract_socket_perf_info_list(out);
}
