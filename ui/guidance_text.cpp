#include "ui/guidance_text.h"

namespace KUI {

std::string replaceAll(std::string text, const std::string &from, const std::string &to)
{
    if (from.empty())
        return text;
    std::size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

std::string replacePlaceholders(std::string text, const PlaceholderPairs &pairs)
{
    for (const auto &[placeholder, value] : pairs) {
        if (placeholder.empty() || text.find(placeholder) == std::string::npos)
            continue;
        bool holdsValue = !value.empty() && text.find(value) != std::string::npos;
        if (!holdsValue)
            text = replaceAll(std::move(text), placeholder, value);
    }
    return text;
}

std::string makeUtmQuery(const std::string &osVersion, const std::string &shortVersion,
    const std::string &identifier)
{
    return "?utm_source=mas&utm_medium=" + osVersion + "&utm_campaign=" + shortVersion
        + "&utm_content=" + identifier;
}

const std::string &siteBaseURL()
{
    static const std::string base = "https://tessaron.pro/";
    return base;
}

namespace {

#define KUI_WHY "{{APPNAME}} moves the mouse pointer for its main app, which runs in a sandbox and may not do that itself. "
#define KUI_KEEP_OPEN \
    "3. Keep this window open. It checks every second and closes by itself as soon as {{APPNAME}} can move the pointer."

} // namespace

std::optional<DesktopGuidance> desktopGuidance(Platform::Desktop desktop)
{
    switch (desktop) {
    case Platform::Desktop::X11:
        return std::nullopt;
    case Platform::Desktop::Wlroots:
        return DesktopGuidance{KUI_WHY "On this Wayland desktop it needs the compositor's virtual pointer "
                                       "(zwlr_virtual_pointer_manager_v1), and the compositor does not offer it to "
                                       "{{APPNAME}}.",
            "1. Use a compositor that offers virtual pointers: sway, Hyprland, river, labwc and Wayfire do.\n"
            "2. If your compositor lets you choose which programs may use which interfaces, allow {{APPNAME}} "
            "the virtual pointer.\n" KUI_KEEP_OPEN};
    case Platform::Desktop::KdePlasma:
        return DesktopGuidance{KUI_WHY "On KDE Plasma it needs KWin's fake input, which KWin offers only to "
                                       "programs whose desktop entry asks for it, and it does not offer it to "
                                       "{{APPNAME}} yet.",
            "1. Start {{APPNAME}} from the place it is installed in: when it starts it writes its desktop entry "
            "(in ~/.local/share/applications), and KWin matches the entry to the program it names.\n"
            "2. If {{APPNAME}} has just started for the first time, wait a few seconds: KWin reads new desktop "
            "entries after a moment.\n" KUI_KEEP_OPEN};
    case Platform::Desktop::Gnome:
        return DesktopGuidance{KUI_WHY "On GNOME it asks Mutter for a remote desktop session on the session bus, "
                                       "and right now Mutter does not give it one.",
            "1. Start {{APPNAME}} from your GNOME session, so that it reaches that session's bus "
            "(DBUS_SESSION_BUS_ADDRESS) and not another one.\n"
            "2. Make sure PipeWire runs in your session: the pointer is moved over a screen stream, which "
            "Mutter makes with PipeWire.\n" KUI_KEEP_OPEN};
    case Platform::Desktop::OtherWayland:
        break;
    }
    return DesktopGuidance{KUI_WHY "This Wayland compositor offers {{APPNAME}} no way to move the pointer: "
                                   "neither wlroots' virtual pointer nor KWin's fake input.",
        "1. Use a desktop that offers one: KDE Plasma, or a wlroots compositor such as sway, Hyprland, river, "
        "labwc or Wayfire.\n"
        "2. Or log in to an X11 session of your desktop.\n" KUI_KEEP_OPEN};
}

} // namespace KUI
