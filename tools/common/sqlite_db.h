// A thin owner of an SQLite connection and its prepared statements, with
// failures as exceptions that carry SQLite's code and message.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sanperf_tools {

class sqlite_error : public std::runtime_error {
public:
    sqlite_error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    // The primary result code: SQLITE_FULL, SQLITE_BUSY, ...
    int code() const { return code_ & 0xff; }

private:
    int code_;
};

class database {
public:
    // Opens path with SQLite's flags (SQLITE_OPEN_READONLY, ...); throws
    // sqlite_error naming path.
    database(const std::string& path, int flags);
    ~database();
    database(const database&) = delete;
    database& operator=(const database&) = delete;

    // Runs one or more statements that return nothing wanted.
    void exec(const char* sql);
    // The single integer the statement returns (a pragma, a count).
    std::int64_t integer(const char* sql);
    sqlite3* handle() const { return db_; }
    // Throws sqlite_error for code, with the connection's message.
    [[noreturn]] void fail(int code, std::string_view doing) const;

private:
    sqlite3* db_ = nullptr;
    std::string path_;
};

class statement {
public:
    statement(database& db, const char* sql);
    ~statement();
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;

    // Parameters count from 1, as in SQLite.
    void bind(int index, std::int64_t value);
    void bind(int index, std::string_view blob);  // as a BLOB; copied
    void bind_null(int index);
    // Steps once: true while a row is there.
    bool step();
    // Ready to step again with new parameters.
    void reset();

    std::int64_t integer(int column) const;
    bool is_null(int column) const;
    // Valid until the next step or reset.
    std::string_view blob(int column) const;
    std::string text(int column) const;

private:
    database& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// A transaction that rolls back unless committed.
class transaction {
public:
    explicit transaction(database& db, const char* begin = "BEGIN IMMEDIATE");
    ~transaction();
    transaction(const transaction&) = delete;
    transaction& operator=(const transaction&) = delete;
    void commit();

private:
    database& db_;
    bool open_ = true;
};

}  // namespace sanperf_tools
