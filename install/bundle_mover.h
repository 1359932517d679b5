#pragma once

#include "install/install_rules.h"

#include <functional>
#include <string>

// The file operations behind the installation check, on real paths.
// Standard library and POSIX only; nothing here creates the folders the
// check requires, and nothing throws.
namespace KInstall {

// rename(2) as the mover sees it: 0 on success, else the errno value.
using RenameFunction = std::function<int(const std::string &from, const std::string &to)>;

int systemRename(const std::string &from, const std::string &to);

// True when both paths exist and reach the same file (device and inode of
// the resolved paths).
bool isSameFile(const std::string &a, const std::string &b);

// Removes a file, a symbolic link (not what it points to) or a whole tree;
// folders inside the tree are made writable first so that a read-only one
// does not stop it. True when nothing is left; a missing path is removed.
bool removeTree(const std::string &path);

// Moves the bundle folder to the target, which must not exist. Within one
// file system a rename; across file systems (EXDEV) a copy into a hidden
// temporary folder next to the target, keeping modes and symbolic links,
// renamed into place before the original is removed. On failure the target
// is left absent, the temporary copy removed and the original untouched.
// A leftover of the original after the copy is in place is not a failure:
// the installed bundle is complete.
bool moveBundle(const std::string &from, const std::string &to, const RenameFunction &rename = systemRename);

// Removes the hidden temporary copies (".<name>.XXXXXX" folders) that a
// move interrupted by a crash or a kill left beside the target. Returns how
// many were removed.
int removeStaleCopies(const std::string &target);

// The check's operations on the real file system, with the given rename.
InstallFileSystem systemFileSystem(const RenameFunction &rename = systemRename);

} // namespace KInstall
