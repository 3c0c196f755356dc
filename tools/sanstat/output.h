// Where reports go: standard output, or a file each report replaces whole.
#pragma once

#include <string>

namespace sanstat {

// Writes text to standard output and flushes it. Returns false, with the
// reason in why, when it cannot.
bool write_stdout(const std::string& text, std::string& why);

// Replaces the file at path with text so that a reader sees either the old
// or the new contents, never part of them: writes a hidden temporary file in
// the same directory, syncs it and renames it over path. The file is left
// readable by all (as the umask allows), as collectors running as another
// user need. Returns false, with the reason in why, when it cannot; path is
// then untouched and no temporary file is left behind.
bool replace_file(const std::string& path, const std::string& text, std::string& why);

}  // namespace sanstat
