// What makes an SQLite file an archive of samplings: its identity, its
// schema version and its tables (docs/archive.md is the contract), and the
// check that a file is one before anything opens it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/sqlite_db.h"

namespace sanperf_tools {

// A file that is not an archive this version can use, or an archive that
// cannot be read or written; the text names the file and says why.
class archive_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// PRAGMA application_id of every archive: "SPAR".
constexpr std::uint32_t archive_application_id = 0x53504152;
// PRAGMA user_version: the schema this version writes and the newest it
// reads. Version 1 archives, whose frames all come before split frames,
// are read too, and become version 2 when a recorder continues them.
constexpr int archive_schema_version = 2;

// Checks, from the file alone and without writing it, that path can be
// opened as an archive: a regular file holding an SQLite database with the
// archive's application id and a schema not newer than this one, not
// shorter than its header says. Returns false for a file that does not
// exist (when missing_ok) or is empty: a new archive. Throws archive_error
// for anything else.
bool check_archive_file(const std::string& path, bool missing_ok);

// Creates the tables, the identity and the version in an empty database.
void create_archive_schema(database& db);

}  // namespace sanperf_tools
