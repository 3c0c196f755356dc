#include "common/sqlite_db.h"

namespace sanperf_tools {

database::database(const std::string& path, int flags) : path_(path) {
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw sqlite_error(rc, path + ": " + message);
    }
    sqlite3_extended_result_codes(db_, 1);
}

database::~database() { sqlite3_close_v2(db_); }

void database::fail(int code, std::string_view doing) const {
    throw sqlite_error(code, path_ + ": " + std::string(doing) + ": " + sqlite3_errmsg(db_));
}

void database::exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc, sql);
}

std::int64_t database::integer(const char* sql) {
    statement st(*this, sql);
    return st.step() ? st.integer(0) : 0;
}

statement::statement(database& db, const char* sql) : db_(db) {
    int rc = sqlite3_prepare_v3(db.handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    if (rc != SQLITE_OK) db_.fail(rc, sql);
}

statement::~statement() { sqlite3_finalize(stmt_); }

void statement::bind(int index, std::int64_t value) {
    int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK) db_.fail(rc, "bind");
}

void statement::bind(int index, std::string_view blob) {
    int rc = sqlite3_bind_blob64(stmt_, index, blob.data(), blob.size(), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) db_.fail(rc, "bind");
}

void statement::bind_null(int index) {
    int rc = sqlite3_bind_null(stmt_, index);
    if (rc != SQLITE_OK) db_.fail(rc, "bind");
}

bool statement::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite3_reset(stmt_);
    db_.fail(rc, sqlite3_sql(stmt_));
}

void statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::int64_t statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

bool statement::is_null(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string_view statement::blob(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || size <= 0) return {};
    return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
}

std::string statement::text(int column) const {
    const unsigned char* data = sqlite3_column_text(stmt_, column);
    return data ? std::string(reinterpret_cast<const char*>(data)) : std::string();
}

transaction::transaction(database& db, const char* begin) : db_(db) { db_.exec(begin); }

transaction::~transaction() {
    if (open_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void transaction::commit() {
    db_.exec("COMMIT");
    open_ = false;
}

}  // namespace sanperf_tools
