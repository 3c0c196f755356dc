// File system side of the simulator: writes files and directories under a
// root so that a reader walking the tree at the same time never sees half a
// line or half a directory.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sanperf_sim {

// A file's name and its whole content.
using file_content = std::pair<std::string, std::string>;

// Writes below one root directory; every path taken is relative to it.
// Failures throw an exception derived from std::runtime_error naming the
// path, and leave no temporary file or hidden directory behind.
//
// When root does not exist yet, or is an empty directory of its own file
// system (no mount point), the writer starts in a hidden directory beside
// it, and appear() renames that into place: a reader sees no tree, then the
// whole first state. Otherwise it writes in root from the start.
class tree_writer {
public:
    // Creates root's parents, and root or its hidden stand-in.
    explicit tree_writer(std::string root);
    // Removes the hidden stand-in if appear() was not called.
    ~tree_writer();
    tree_writer(const tree_writer&) = delete;
    tree_writer& operator=(const tree_writer&) = delete;

    // Makes what was written so far appear at root at once, and writes there
    // from now on. Does nothing once called, or when writing in root.
    void appear();

    // Removes the hidden stand-in and what it holds, for a process about to
    // end without its tree; the root is left as it was.
    void discard();

    // Creates the directory (and its parents) if it does not exist.
    void make_dir(const std::string& relative);

    // Replaces the file: the content goes to a hidden temporary file in the
    // same directory, which is then renamed over the old one, so a reader
    // opens either the old file or the new one, whole.
    void replace_file(const std::string& relative, std::string_view content);

    // Makes the directory parent/name appear with all its files at once: it
    // is filled under a hidden name and then renamed into place. Nothing may
    // exist at parent/name yet.
    void publish_dir(const std::string& parent, const std::string& name,
                     const std::vector<file_content>& files);

    // Makes parent/name disappear at once (renamed to a hidden name), then
    // deletes it.
    void retire_dir(const std::string& parent, const std::string& name);

    // Deletes what an earlier run left in parent: entries named prefix
    // followed by digits, and the hidden directories of unfinished
    // publish_dir and retire_dir calls on such names. Anything else stays.
    void remove_leftovers(const std::string& parent, const std::string& prefix);

private:
    std::string path(const std::string& relative) const;

    std::string root;    // where the files go now
    std::string target;  // where they belong
};

}  // namespace sanperf_sim
