// sanperf: read a SAN storage server's performance counters from /sys/kernel.
//
// The server's kernel side publishes its counters as a tree of one-line text
// files: 4 disks with 8 queues each under "/sys/kernel/disk_queue/", one
// directory per session under "/sys/kernel/session/" and one per socket under
// "/sys/kernel/sock/". The classes here read that tree and hand the numbers
// out as standard lists of plain records. The paths are fixed; there is no
// configuration, no log and no error code.
//
// Conventions that hold for every class below:
//  - A statistic that cannot be read (missing file, missing directory,
//    unreadable file) reads as zero. It is never an error.
//  - Only the first line of a file counts, and it is read from its first
//    ASCII letter or digit: leading blanks and punctuation, a minus sign
//    included, are skipped, so "-5" reads as 5. At most 65,536 bytes of that
//    line are read, whatever the file holds.
//  - Numbers are converted exactly as sscanf("%lld") converts them in the C
//    locale (a run of digits out of range saturates) and are not
//    range-checked.
//  - Sentinel rule: in the records handed out, a minimum (minimum time, and
//    for disk queues also minimum count) equal to 4294967295 (2^32 - 1, not
//    -1) reads as 0, meaning "no sample yet". Counter sets keep the raw value.
//  - The only exception that leaves the library is the standard library's
//    own, chiefly std::bad_alloc. A constructor that throws leaves nothing
//    allocated behind.
//
// Thread safety: the library starts no threads and takes no locks. Distinct
// objects may be used from different threads at once. One object must not be
// destroyed or re-initialized while another thread reads it.

#ifndef SANPERF_H
#define SANPERF_H

#include <dirent.h>

#include <list>
#include <string>
#include <vector>

#define SANPERF_API __attribute__((visibility("default")))

// A counter set: the seven numbers of one counter-line file, which lists
// samples, total count, max count, min count, total time, max time, min time.
// Copyable; owns nothing.
class SANPERF_API st_perf_stats {
public:
    // All seven counters zero.
    st_perf_stats();
    // All seven counters zero, then initialize(path).
    explicit st_perf_stats(const std::string& path);
    st_perf_stats(const st_perf_stats& other);
    st_perf_stats& operator=(const st_perf_stats& other);
    ~st_perf_stats();

    // Copies all seven counters from other.
    void copy(const st_perf_stats& other);
    // Sets all seven counters to zero.
    void bzero();
    // Same as bzero().
    void reset();

    // Reads the counter line of the file at path. A missing or unopenable
    // file zeroes every counter. Otherwise the numbers found are stored in
    // file order; a counter whose number is absent or not a number (a short
    // line, a blank line, text) keeps the value it had.
    void initialize(const std::string& path);

    // Reads the first line of the file at path into out, from its first
    // ASCII letter or digit; a line without one gives " " (a single blank).
    // At most 65,536 bytes of the line are read. Returns true iff out is
    // non-empty afterwards. A missing or unopenable file leaves out exactly
    // as passed: false for an empty out, true for a non-empty one. A file
    // that opens but cannot be read gives " " and true; so does a FIFO,
    // which is opened without waiting for a writer.
    static bool extract_string_from_file(const std::string& path, std::string& out);

    long long get_samples() { return samples; }
    long long get_total_time() { return total_time; }
    long long get_min_time() { return min_time; }
    long long get_max_time() { return max_time; }
    long long get_total_count() { return total_count; }
    long long get_min_count() { return min_count; }
    long long get_max_count() { return max_count; }

private:
    long long samples;
    long long total_time;
    long long min_time;
    long long max_time;
    long long total_count;
    long long min_count;
    long long max_count;
};

// A property: the one number of a value-line file, and that file's path.
class SANPERF_API st_property {
public:
    // Value 0, empty path.
    st_property() : value(0) {}
    // Value 0, then initialize(path).
    explicit st_property(const std::string& path);
    ~st_property() {}

    // Remembers path, then reads the file's first number into the value. A
    // missing or unopenable file sets the value to 0; a file whose first line
    // holds no number keeps the previous value.
    void initialize(const std::string& path);

    // The value last read, all 64 bits.
    long long get_value() { return value; }

private:
    long long value;
    std::string path;
};

// An owned 65,536-byte scratch buffer for formatting paths and names.
// Its contents start uninitialized. Not copyable.
class st_perf_auto_ptr {
public:
    st_perf_auto_ptr() : buffer(nullptr), size(0) {
        buffer = new char[65536];
        size = 65536;
    }
    ~st_perf_auto_ptr() {
        if (buffer != nullptr) {
            delete[] buffer;
            size = 0;
        }
    }
    st_perf_auto_ptr(const st_perf_auto_ptr&) = delete;
    st_perf_auto_ptr& operator=(const st_perf_auto_ptr&) = delete;

    // The buffer, never null once built.
    char* c_ptr() { return buffer; }
    // The buffer's size in bytes: 65,536.
    unsigned int get_size() { return size; }

private:
    char* buffer;
    unsigned int size;
};

// scandir filter: returns 1 iff the entry's name starts with "session".
SANPERF_API int session_scandir_select(const dirent* entry);
// scandir filter: returns 1 iff the entry's name starts with "sock" (so
// "sockets7" passes too).
SANPERF_API int socket_scandir_select(const dirent* entry);
// scandir comparison: a and b each point to a const dirent*. Orders entries
// by the first run of digits in their names as an unsigned number
// (saturating at 2^64 - 1): session2 before session10. A name without a
// digit counts as 0. Returns <0, 0 or >0.
SANPERF_API int dirname_sort(const void* a, const void* b);

// The numbers of one disk queue as handed to the caller.
struct disk_queue_info {
    std::string name;  // "disk<d>_<q>", set by the facade
    long long handler_samples;
    long long handler_total_time;
    long long handler_min_time;  // 4294967295 reads as 0
    long long handler_max_time;
    long long handler_total_count;
    long long handler_min_count;  // 4294967295 reads as 0
    long long handler_max_count;
    long long processing_samples;
    long long processing_total_time;
    long long processing_min_time;  // 4294967295 reads as 0
    long long processing_max_time;
    long long processing_total_count;
    long long processing_min_count;  // 4294967295 reads as 0
    long long processing_max_count;
    unsigned int max_num_active;  // low 32 bits of the file's value
};

// The collector of one disk queue: reads "/sys/kernel/disk_queue/disk<d>_<q>/"
// once, when built.
class SANPERF_API disk_queue_perf_stats {
public:
    // Reads async_handler_task_perf_stats, async_processing_perf_stats and
    // max_num_active of queue `queue` of disk `disk`. Missing files read as 0.
    disk_queue_perf_stats(int disk, int queue);

    // Fills every field of info but name, which is left as the caller set it.
    void get_queue_stats(disk_queue_info& info);

private:
    st_perf_stats handler_stats;
    st_perf_stats processing_stats;
    st_property max_num_active;
    // Which queue this is; only the path is read back, these identify the
    // object in a debugger or core dump.
    [[maybe_unused]] int disk;
    [[maybe_unused]] int queue;
    std::string path;
};

// The collector of one disk's eight queues, read once when built.
class SANPERF_API disk_performance_info {
public:
    // Builds the collectors of queues 0 to 7 of `disk`, whether or not their
    // directories exist.
    explicit disk_performance_info(int disk);
    ~disk_performance_info();
    disk_performance_info(const disk_performance_info&) = delete;
    disk_performance_info& operator=(const disk_performance_info&) = delete;

    // Fills info (all but name) from queue `queue`. A queue outside 0..7
    // leaves info untouched.
    void get_queue_stats(int queue, disk_queue_info& info);

private:
    std::vector<disk_queue_perf_stats*> queues;
    [[maybe_unused]] int disk;  // which disk this is, for a debugger
};

// The numbers of one session as handed to the caller.
struct session_info {
    unsigned int id;   // low 32 bits of the id file's value
    unsigned int lba;  // low 32 bits of the lba file's value
    long long write_samples;
    long long write_total_time;
    long long write_min_time;  // 4294967295 reads as 0
    long long write_max_time;
    long long read_samples;
    long long read_total_time;
    long long read_min_time;  // 4294967295 reads as 0
    long long read_max_time;
};

// The collector of one session, read once when built.
class SANPERF_API session_perf_stats {
public:
    // Reads "/sys/kernel/session/session<session>/" (the number formatted
    // with "%d", so a negative one gives "session-1"). Missing files read as 0.
    explicit session_perf_stats(int session);

    // Fills info from the values read when built.
    void get_session_info(session_info& info);

private:
    std::string path;
    st_perf_stats write_stats;
    st_perf_stats read_stats;
    st_property id;
    st_property lba;
};

// The collector of all sessions published at the moment it is built.
class SANPERF_API session_performance_info {
public:
    // Lists the sessions (see get_sessions_list) and reads each one from the
    // directory named by its id, not by its listed name.
    session_performance_info();
    ~session_performance_info();
    session_performance_info(const session_performance_info&) = delete;
    session_performance_info& operator=(const session_performance_info&) = delete;

    // Replaces ids with the value of the "id" file of every entry of
    // "/sys/kernel/session/" whose name starts with "session", in the order
    // of the number in the entry's name. An entry without a readable id file
    // gives 0. A missing directory gives an empty list.
    void get_sessions_list(std::list<unsigned int>& ids);

    // Replaces out with one record per session, in listing order.
    void extract_session_perf_info_list(std::list<session_info>& out);

private:
    std::list<session_perf_stats*> sessions;
};

// The numbers of one counter set of a socket.
struct sock_stats {
    long long samples;
    long long total_time;
    long long min_time;  // 4294967295 reads as 0
    long long max_time;
};

// The numbers of one socket as handed to the caller. The twelve slots are,
// in order: aio_read, aio_write, perform_io_read, perform_io_write,
// post_read, post_write, queue_modify_tx_offset, queue_modify_rx_offset,
// socket_read, socket_write, wait_for_space, wait_until_data_available
// (each read from the file of that name with "_stats" appended).
struct sock_info {
    unsigned int number;
    sock_stats stats[12];
};

// The collector of one socket, read once when built.
class SANPERF_API socket_perf_stats {
public:
    // Reads the twelve counter files of "/sys/kernel/sock/sock<number>/".
    // Missing files read as 0.
    explicit socket_perf_stats(int number);

    // Fills info: the number and all twelve slots.
    void get_socket_info(sock_info& info);

    // Copies samples, total, min and max time of in to out, applying the
    // sentinel rule to the minimum.
    void extract_sock_stats(sock_stats& out, st_perf_stats& in);

private:
    int number;
    std::string path;
    st_perf_stats stats[12];
};

// The collector of all sockets published at the moment it is built.
class SANPERF_API socket_performance_info {
public:
    // Lists the sockets (see get_sockets_list) and reads each one.
    socket_performance_info();
    ~socket_performance_info();
    socket_performance_info(const socket_performance_info&) = delete;
    socket_performance_info& operator=(const socket_performance_info&) = delete;

    // Returns the number in a socket directory name: the first run of digits,
    // converted as strtol converts it and cut to its low 32 bits ("sock07"
    // gives 7).
    // A name without a digit gives 0.
    unsigned int socket_name_to_number(const char* name);

    // Replaces numbers with the number of every entry of "/sys/kernel/sock/"
    // whose name starts with "sock", in numeric order. Reads no file. A
    // missing directory gives an empty list.
    void get_sockets_list(std::list<unsigned int>& numbers);

    // Replaces out with one record per socket, in listing order. A socket is
    // read from "/sys/kernel/sock/sock<number>/", whatever its listed name.
    void extract_socket_perf_info_list(std::list<sock_info>& out);

private:
    std::list<socket_perf_stats*> sockets;
};

// The facade: all three lists of the server's statistics.
// Disk queue numbers are read once, when the facade is built; session and
// socket numbers are read afresh at every call.
class SANPERF_API sanserver_performance_info {
public:
    // Reads the 32 disk queues (96 files).
    sanserver_performance_info();
    ~sanserver_performance_info();
    sanserver_performance_info(const sanserver_performance_info&) = delete;
    sanserver_performance_info& operator=(const sanserver_performance_info&) = delete;

    // Replaces out with 32 records, disk1_0 ... disk1_7, disk2_0 ... disk4_7,
    // holding the numbers read when the facade was built.
    void get_disk_queue_perf_info(std::list<disk_queue_info>& out);

    // Reads all sessions now and replaces out with their records. If anything
    // fails (std::bad_alloc), out keeps its previous contents exactly.
    void get_session_perf_info(std::list<session_info>& out);

    // Reads all sockets now and replaces out with their records. If anything
    // fails (std::bad_alloc), out keeps its previous contents exactly.
    void get_socket_perf_info(std::list<sock_info>& out);

private:
    std::vector<disk_performance_info*> disks;
    int disk_count;
};

#endif  // SANPERF_H
