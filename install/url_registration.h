#pragma once

#include <optional>
#include <string>

// Making the installed helper the desktop's handler of its URL scheme: a
// desktop entry in the user's applications folder whose Exec line names the
// installed program, and the scheme's default in mimeapps.list. The text
// rules are pure; registerURLHandler does the file work.
namespace KInstall {

inline constexpr char kURLSchemeType[] = "x-scheme-handler/tessaron-helper";

// One Exec argument as freedesktop.org desktop entries want it: quoted
// when it holds a reserved character, with the string escapes applied on
// top, and "%" doubled. Nothing for text no Exec line can hold (a newline
// or another control character).
std::optional<std::string> desktopExecArgument(const std::string &argument);

// The desktop entry for the installed program; nothing when its path cannot
// stand in an Exec line. It also asks KWin for its fake input, which KWin
// grants only to the program an entry's Exec line names.
std::optional<std::string> desktopEntryFor(const std::string &executable, const std::string &name);

// mimeapps.list with the scheme's default set to desktopId in its [Default
// Applications] group (added when missing); every other line stays as it
// was. Nothing when the text is not a key file (a line that is neither a
// group, an entry, a comment nor blank, or a NUL byte): it is left alone.
std::optional<std::string> mimeappsWithDefault(const std::string &text, const std::string &desktopId);

// Where the files go: $XDG_DATA_HOME/applications and $XDG_CONFIG_HOME,
// each only when absolute, else ~/.local/share/applications and ~/.config.
// Empty without an absolute home.
struct RegistrationPlaces {
    std::string applications;
    std::string config;
};
RegistrationPlaces registrationPlaces(const std::string &home, const char *dataHome, const char *configHome);

// Writes the entry (as "<desktopId>") and the default, each only when it is
// not already as it should be, each atomically (a temporary file renamed
// over it). False when either could not be written; nothing else happens
// then, and nothing of the user's is lost.
bool registerURLHandler(const std::string &executable, const std::string &name, const std::string &desktopId,
    const RegistrationPlaces &places);

} // namespace KInstall
