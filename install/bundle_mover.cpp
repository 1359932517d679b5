#include "install/bundle_mover.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace KInstall {

namespace {

// Bundles are a few levels deep; a deeper tree is refused rather than
// risking the stack.
constexpr int kMaxDepth = 128;

std::string parentOf(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> entryNames(const std::string &folder, bool *ok)
{
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    *ok = !error;
    return names;
}

bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool copyData(int in, int out)
{
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(n)))
            return false;
    }
}

void keepTimes(const std::string &path, const struct stat &source, int flags)
{
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    ::utimensat(AT_FDCWD, path.c_str(), times, flags);
}

bool copyFile(const std::string &from, const std::string &to, const struct stat &source)
{
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return false;
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    // The mode last: a read-only source must still be written here.
    bool ok = copyData(in, out) && ::fchmod(out, source.st_mode & 07777) == 0;
    ok = ::close(out) == 0 && ok;
    ::close(in);
    if (ok)
        keepTimes(to, source, 0);
    return ok;
}

bool copySymlink(const std::string &from, const std::string &to, const struct stat &source)
{
    std::vector<char> target(static_cast<std::size_t>(source.st_size) + 2);
    ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
    // One byte to spare tells us the link did not grow since lstat.
    if (n < 0 || static_cast<std::size_t>(n) >= target.size())
        return false;
    target[static_cast<std::size_t>(n)] = '\0';
    if (::symlink(target.data(), to.c_str()) != 0)
        return false;
    keepTimes(to, source, AT_SYMLINK_NOFOLLOW);
    return true;
}

// Copies the folder's contents into an existing folder, then gives that
// folder the source's mode: a read-only folder gets it after it is filled.
bool copyInto(const std::string &from, const std::string &to, const struct stat &fromStat, int depth)
{
    if (depth > kMaxDepth)
        return false;
    bool listed = false;
    std::vector<std::string> names = entryNames(from, &listed);
    if (!listed)
        return false;
    for (const std::string &name : names) {
        std::string source = from + "/" + name;
        std::string target = to + "/" + name;
        struct stat st;
        if (::lstat(source.c_str(), &st) != 0)
            return false;
        bool ok = false;
        if (S_ISDIR(st.st_mode))
            ok = ::mkdir(target.c_str(), 0700) == 0 && copyInto(source, target, st, depth + 1);
        else if (S_ISREG(st.st_mode))
            ok = copyFile(source, target, st);
        else if (S_ISLNK(st.st_mode))
            ok = copySymlink(source, target, st);
        // Devices, pipes and sockets have no place in a bundle.
        if (!ok)
            return false;
    }
    if (::chmod(to.c_str(), fromStat.st_mode & 07777) != 0)
        return false;
    keepTimes(to, fromStat, 0);
    return true;
}

bool removeTreeAt(const std::string &path, int depth)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    if (depth > kMaxDepth)
        return false;
    // A read-only folder of our own must not stop its removal.
    if ((st.st_mode & S_IRWXU) != S_IRWXU && ::chmod(path.c_str(), st.st_mode | S_IRWXU) != 0)
        return false;
    bool listed = false;
    std::vector<std::string> names = entryNames(path, &listed);
    if (!listed)
        return false;
    for (const std::string &name : names) {
        if (!removeTreeAt(path + "/" + name, depth + 1))
            return false;
    }
    return ::rmdir(path.c_str()) == 0;
}

} // namespace

int systemRename(const std::string &from, const std::string &to)
{
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool isSameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool removeTree(const std::string &path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    // Checked first: emptying a folder whose own entry cannot go would
    // leave a gutted copy behind.
    if (::faccessat(AT_FDCWD, parentOf(path).c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return false;
    return removeTreeAt(path, 0);
}

bool moveBundle(const std::string &from, const std::string &to, const RenameFunction &rename)
{
    int error = rename(from, to);
    if (error != EXDEV)
        return error == 0;
    struct stat source;
    if (::lstat(from.c_str(), &source) != 0 || !S_ISDIR(source.st_mode))
        return false;
    // Next to the target, so the last step is a rename within its file
    // system: the target is either absent or complete, never half copied.
    std::string name = to.substr(to.rfind('/') + 1);
    std::string pattern = parentOf(to) + "/." + name + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    if (!::mkdtemp(temp.data()))
        return false;
    std::string copy = temp.data();
    if (!copyInto(from, copy, source, 0) || rename(copy, to) != 0) {
        removeTreeAt(copy, 0);
        return false;
    }
    removeTree(from);
    return true;
}

int removeStaleCopies(const std::string &target)
{
    const std::string parent = parentOf(target);
    const std::string prefix = "." + target.substr(target.rfind('/') + 1) + ".";
    bool listed = false;
    int removed = 0;
    for (const std::string &name : entryNames(parent, &listed)) {
        // Exactly what mkdtemp makes of the pattern: six letters or digits.
        if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)
            || !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            continue;
        struct stat st;
        const std::string path = parent + "/" + name;
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && removeTreeAt(path, 0))
            ++removed;
    }
    return removed;
}

InstallFileSystem systemFileSystem(const RenameFunction &rename)
{
    InstallFileSystem fs;
    fs.isDirectory = [](const std::string &path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    };
    fs.exists = [](const std::string &path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0;
    };
    fs.isSameFile = isSameFile;
    fs.removeAll = removeTree;
    fs.move = [rename](const std::string &from, const std::string &to) { return moveBundle(from, to, rename); };
    return fs;
}

} // namespace KInstall
