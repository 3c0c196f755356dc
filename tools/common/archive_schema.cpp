#include "common/archive_schema.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sanperf_tools {

namespace {

std::uint32_t big_endian(const unsigned char* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw archive_error(path + ": " + why);
}

}  // namespace

bool check_archive_file(const std::string& path, bool missing_ok) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT && missing_ok) return false;
        refuse(path, std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) refuse(path, "is a directory, not an archive");
    if (!S_ISREG(st.st_mode)) refuse(path, "is not a regular file, so not an archive");
    if (st.st_size == 0) return false;
    // O_NONBLOCK: the file was regular a moment ago, but is never waited on.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) refuse(path, std::strerror(errno));
    unsigned char header[100];
    ssize_t got = pread(fd, header, sizeof header, 0);
    close(fd);
    if (got < 0) refuse(path, std::strerror(errno));
    static const char magic[] = "SQLite format 3";
    if (got < static_cast<ssize_t>(sizeof header) || std::memcmp(header, magic, sizeof magic) != 0)
        refuse(path, "not a sanstat archive (not an SQLite database)");
    if (big_endian(header + 68) != archive_application_id)
        refuse(path, "not a sanstat archive (an SQLite database of something else)");
    std::uint32_t version = big_endian(header + 60);
    if (version > archive_schema_version)
        refuse(path, "written by a newer sanstat (archive schema " + std::to_string(version) +
                         "; this sanstat reads up to " + std::to_string(archive_schema_version) +
                         "): upgrade sanstat to read it");
    if (version == 0) refuse(path, "not a sanstat archive (no schema version)");
    // A database cut short, as by an interrupted copy. While a write-ahead
    // log holds pages not yet copied back, the file may lag its header.
    unsigned page_size = unsigned{header[16]} << 8 | header[17];
    if (page_size == 1) page_size = 65536;
    std::uint64_t pages = big_endian(header + 28);
    struct stat wal {};
    bool wal_pending = stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0;
    std::uint64_t expected = pages * page_size;
    if (!wal_pending && static_cast<std::uint64_t>(st.st_size) < expected)
        refuse(path, "truncated: " + std::to_string(st.st_size) + " bytes of the " +
                         std::to_string(expected) + " its header gives");
    return true;
}

void create_archive_schema(database& db) {
    // Each sampling's frames overflow into pages of their own: small pages
    // leave less of the last one empty. Set before anything else, or SQLite
    // keeps its default.
    db.exec("PRAGMA page_size = 1024");
    // Pages freed by retention can then be handed back to the file system.
    db.exec("PRAGMA auto_vacuum = INCREMENTAL");
    transaction t(db);
    db.exec(
        "CREATE TABLE runs ("
        " run INTEGER PRIMARY KEY,"
        " started INTEGER NOT NULL,"
        " interval_ms INTEGER NOT NULL,"
        " time_unit TEXT,"
        " host TEXT NOT NULL,"
        " version TEXT NOT NULL);"
        "CREATE TABLE samplings ("
        " seq INTEGER PRIMARY KEY,"
        " run INTEGER NOT NULL REFERENCES runs(run),"
        " time INTEGER NOT NULL,"
        " mono INTEGER NOT NULL,"
        " tree INTEGER NOT NULL,"
        " keyframe INTEGER NOT NULL,"
        " disks BLOB,"
        " sessions BLOB,"
        " sockets BLOB);"
        "CREATE INDEX samplings_time ON samplings(time);"
        "CREATE INDEX samplings_breaks ON samplings(seq) WHERE keyframe > 0 OR tree = 0;");
    db.exec(("PRAGMA application_id = " + std::to_string(archive_application_id) +
             "; PRAGMA user_version = " + std::to_string(archive_schema_version))
                .c_str());
    t.commit();
}

}  // namespace sanperf_tools
