#include "install/url_registration.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace KInstall {

namespace {

constexpr char kDefaultGroup[] = "[Default Applications]";

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// Each group header, key=value entry, comment and blank line is kept.
bool isKeyFileLine(const std::string &line)
{
    if (line.empty() || line[0] == '#')
        return true;
    if (line[0] == '[')
        return line.back() == ']';
    const std::size_t equals = line.find('=');
    return equals != std::string::npos && equals > 0;
}

std::string trimmedKey(const std::string &line)
{
    std::string key = line.substr(0, line.find('='));
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
        key.pop_back();
    return key;
}

std::optional<std::string> readWhole(const std::string &path, bool *missing)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *missing = errno == ENOENT;
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A temporary file beside the target, renamed over it: readers see the old
// file or the new one, never half of either.
bool writeAtomically(const std::string &target, const std::string &text)
{
    std::error_code error;
    // A file kept elsewhere behind a link (dotfiles) is updated where it is.
    std::string path = target;
    if (std::filesystem::is_symlink(target, error)) {
        path = std::filesystem::canonical(target, error).string();
        if (error)
            return false;
    }
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return false;
    bool written = ::fchmod(fd, 0644) == 0;
    for (std::size_t at = 0; written && at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        at += written ? static_cast<std::size_t>(n) : 0;
    }
    written = ::fsync(fd) == 0 && written;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

std::optional<std::string> desktopExecArgument(const std::string &argument)
{
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    bool quote = argument.empty();
    std::string inner;
    for (unsigned char c : argument) {
        if (isControl(c))
            return std::nullopt;
        quote = quote || reserved.find(static_cast<char>(c)) != std::string::npos;
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            inner += '\\';
        inner += static_cast<char>(c);
    }
    std::string quoted = quote ? "\"" + inner + "\"" : argument;
    // The value is a string too: its own escape for a backslash comes on
    // top, and "%" would start a field code.
    std::string value;
    for (char c : quoted)
        value += c == '\\' ? "\\\\" : c == '%' ? "%%" : std::string(1, c);
    return value;
}

std::optional<std::string> desktopEntryFor(const std::string &executable, const std::string &name)
{
    const std::optional<std::string> program = desktopExecArgument(executable);
    if (!program || executable.empty() || executable[0] != '/')
        return std::nullopt;
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + *program
        + " %u\nNoDisplay=true\nTerminal=false\nMimeType=" + kURLSchemeType
        + ";\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n";
}

std::optional<std::string> mimeappsWithDefault(const std::string &text, const std::string &desktopId)
{
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!isKeyFileLine(line))
            return std::nullopt;
        lines.push_back(line);
    }
    const std::string entry = std::string(kURLSchemeType) + "=" + desktopId + ";";
    // In the default group: replace our key's line, or add it at the group's end.
    bool inGroup = false, done = false;
    std::size_t groupEnd = lines.size();
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        if (lines[i].starts_with("[")) {
            if (inGroup) {
                groupEnd = i;
                break;
            }
            inGroup = lines[i] == kDefaultGroup;
            continue;
        }
        if (inGroup && lines[i].find('=') != std::string::npos && trimmedKey(lines[i]) == kURLSchemeType) {
            lines[i] = entry;
            done = true;
        }
    }
    if (!done) {
        if (inGroup) {
            // Before the blank lines that end the group.
            while (groupEnd > 0 && lines[groupEnd - 1].empty())
                --groupEnd;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(groupEnd), entry);
        } else {
            if (!lines.empty() && !lines.back().empty())
                lines.emplace_back();
            lines.emplace_back(kDefaultGroup);
            lines.push_back(entry);
        }
    }
    std::string out;
    for (const std::string &line : lines)
        out += line + "\n";
    return out;
}

RegistrationPlaces registrationPlaces(const std::string &home, const char *dataHome, const char *configHome)
{
    const bool homeUsable = !home.empty() && home[0] == '/';
    RegistrationPlaces places;
    if (dataHome && dataHome[0] == '/')
        places.applications = std::string(dataHome) + "/applications";
    else if (homeUsable)
        places.applications = home + "/.local/share/applications";
    if (configHome && configHome[0] == '/')
        places.config = configHome;
    else if (homeUsable)
        places.config = home + "/.config";
    return places;
}

bool registerURLHandler(const std::string &executable, const std::string &name, const std::string &desktopId,
    const RegistrationPlaces &places)
{
    const std::optional<std::string> entry = desktopEntryFor(executable, name);
    if (!entry || places.applications.empty() || places.config.empty())
        return false;
    const std::string entryPath = places.applications + "/" + desktopId;
    bool missing = false;
    if (readWhole(entryPath, &missing) != entry && !writeAtomically(entryPath, *entry))
        return false;
    const std::string listPath = places.config + "/mimeapps.list";
    missing = false;
    const std::optional<std::string> list = readWhole(listPath, &missing);
    if (!list && !missing)
        return false;
    const std::optional<std::string> updated = mimeappsWithDefault(list.value_or(""), desktopId);
    if (!updated)
        return false;
    return updated == list || writeAtomically(listPath, *updated);
}

} // namespace KInstall
