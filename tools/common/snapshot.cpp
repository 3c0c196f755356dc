#include "common/snapshot.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <unordered_set>

#include "common/tree_layout.h"

namespace sanperf_tools {

namespace {

const std::string kernel_root = "/sys/kernel/";

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool wanted(const std::vector<unsigned>& filter, unsigned value) {
    return filter.empty() || std::find(filter.begin(), filter.end(), value) != filter.end();
}

// The entries of a directory that pass filter, in the library's order (by
// the number in their names). Owns what scandir returns.
class listing {
public:
    listing(const std::string& dir, int (*filter)(const dirent*)) {
        count_ = scandir(dir.c_str(), &entries_, filter,
                         [](const dirent** a, const dirent** b) { return dirname_sort(a, b); });
        if (count_ < 0) {
            count_ = 0;
            entries_ = nullptr;
        }
    }
    ~listing() {
        for (int i = 0; i < count_; ++i) std::free(entries_[i]);
        std::free(entries_);
    }
    listing(const listing&) = delete;
    listing& operator=(const listing&) = delete;

    int size() const { return count_; }
    const char* name(int i) const { return entries_[i]->d_name; }

private:
    dirent** entries_ = nullptr;
    int count_ = 0;
};

// The directories the library reads an object from: it formats the number
// as a signed int.
std::string session_read_dir(unsigned id) {
    return kernel_root + session_dir + "/" + session_name(static_cast<int>(id));
}
std::string socket_read_dir(unsigned number) {
    return kernel_root + socket_dir + "/" + socket_name(static_cast<int>(number));
}

// The library hands out all 32 queues, reading a missing queue's files as
// zeros; only the queues whose directory exists once read are kept.
void read_disks(snapshot& snap) {
    // Looked at before the read: a queue whose files appear meanwhile is
    // taken as unreadable once more, never the other way round.
    for (int disk = 1; disk <= disk_count; ++disk) {
        for (int queue = 0; queue < queues_per_disk; ++queue) {
            std::string name = disk_queue_name(disk, queue);
            std::string dir = kernel_root + disk_queue_dir + "/" + name + "/";
            if (!exists(dir + handler_stats_file) || !exists(dir + processing_stats_file))
                snap.unreadable_disks.push_back(std::move(name));
        }
    }
    sanserver_performance_info server;
    std::list<disk_queue_info> disks;
    server.get_disk_queue_perf_info(disks);
    for (disk_queue_info& d : disks)
        if (exists(kernel_root + disk_queue_dir + "/" + d.name)) snap.disks.push_back(std::move(d));
}

// The id an entry's name gives when it is exactly the name the library
// reads that session from; none for any other name.
std::optional<unsigned> id_in_name(const char* name) {
    const char* digits = name + std::strlen(session_prefix);
    if (*digits < '0' || *digits > '9') return std::nullopt;
    unsigned long id = std::strtoul(digits, nullptr, 10);
    if (id > INT_MAX || session_name(static_cast<long long>(id)) != name) return std::nullopt;
    return static_cast<unsigned>(id);
}

session_info read_session(unsigned id) {
    session_perf_stats reader(static_cast<int>(id));
    session_info info;
    reader.get_session_info(info);
    return info;
}

// Calls work(i) for every i below count: on the pool's threads when there
// is a pool, else in order on this one.
void for_each_item(thread_pool* pool, std::size_t count,
                   const std::function<void(std::size_t)>& work) {
    if (pool) return pool->run(count, work);
    for (std::size_t i = 0; i < count; ++i) work(i);
}

// One listed session entry as read.
struct session_entry {
    unsigned listed = 0;     // the id the entry's id file gives
    bool have_info = false;  // info is that session's, read from its own directory
    bool present = false;    // its directory was still there after the read
    session_info info{};
};

// Lists the sessions as the library does (each entry's id file names the
// session) and reads each wanted one through the library. The entries are
// read independently; which of them are kept, and in what order, is decided
// on this thread in listing order, as the objects' ids are known.
void read_sessions(const selection& sel, snapshot& snap, thread_pool* pool) {
    const std::string dir = kernel_root + session_dir + "/";
    listing entries(dir, session_scandir_select);
    std::vector<session_entry> found(static_cast<std::size_t>(entries.size()));
    // An entry named as the library names the session's directory is the
    // directory it reads: the id file read along with the counters is the
    // one the listing goes by, so it is read once.
    for_each_item(pool, found.size(), [&](std::size_t i) {
        session_entry& e = found[i];
        const char* name = entries.name(static_cast<int>(i));
        std::optional<unsigned> named = id_in_name(name);
        if (named && wanted(sel.session_ids, *named)) {
            e.info = read_session(*named);
            e.listed = e.info.id;
            e.have_info = e.listed == *named;
            e.present = e.have_info && exists(session_read_dir(e.listed));
        } else {
            st_property id(dir + name + "/" + session_id_file);
            e.listed = static_cast<unsigned>(id.get_value());
        }
    });
    std::unordered_set<unsigned> seen;
    std::vector<session_entry*> kept;
    for (session_entry& e : found)
        if (wanted(sel.session_ids, e.listed) && seen.insert(e.listed).second) kept.push_back(&e);
    for_each_item(pool, kept.size(), [&](std::size_t i) {
        session_entry& e = *kept[i];
        if (e.have_info) return;
        e.info = read_session(e.listed);
        e.present = e.info.id == e.listed && exists(session_read_dir(e.listed));
    });
    snap.sessions.reserve(kept.size());
    for (const session_entry* e : kept)
        if (e->present) snap.sessions.push_back(e->info);
}

// The number in a socket directory's name, as the library takes it: the
// first run of digits, cut to 32 bits; 0 without a digit.
unsigned socket_number(const char* name) {
    const char* first = name + std::strcspn(name, "0123456789");
    if (*first == '\0') return 0;
    return static_cast<unsigned>(std::strtol(first, nullptr, 10));
}

void read_sockets(const selection& sel, snapshot& snap, thread_pool* pool) {
    const std::string dir = kernel_root + socket_dir + "/";
    listing entries(dir, socket_scandir_select);
    std::unordered_set<unsigned> seen;
    std::vector<unsigned> numbers;
    for (int i = 0; i < entries.size(); ++i) {
        unsigned number = socket_number(entries.name(i));
        if (wanted(sel.socket_numbers, number) && seen.insert(number).second)
            numbers.push_back(number);
    }
    // Read in place, then the vanished ones are squeezed out.
    snap.sockets.resize(numbers.size());
    std::vector<char> present(numbers.size());
    for_each_item(pool, numbers.size(), [&](std::size_t i) {
        socket_perf_stats reader(static_cast<int>(numbers[i]));
        reader.get_socket_info(snap.sockets[i]);
        present[i] = exists(socket_read_dir(numbers[i]));
    });
    std::size_t out = 0;
    for (std::size_t i = 0; i < numbers.size(); ++i)
        if (present[i]) snap.sockets[out++] = snap.sockets[i];
    snap.sockets.resize(out);
}

}  // namespace

snapshot take_snapshot(const selection& sel, thread_pool* pool) {
    snapshot snap;
    snap.taken = std::chrono::steady_clock::now();
    snap.wall = std::time(nullptr);
    snap.disks_found = exists(kernel_root + disk_queue_dir);
    snap.sessions_found = exists(kernel_root + session_dir);
    snap.sockets_found = exists(kernel_root + socket_dir);
    snap.tree_found = snap.disks_found || snap.sessions_found || snap.sockets_found;
    if (sel.disks) {
        read_disks(snap);
        snap.disks_read = true;
    }
    if (sel.sessions) {
        read_sessions(sel, snap, pool);
        snap.sessions_read = true;
    }
    if (sel.sockets) {
        read_sockets(sel, snap, pool);
        snap.sockets_read = true;
    }
    return snap;
}

}  // namespace sanperf_tools
