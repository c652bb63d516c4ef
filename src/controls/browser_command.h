// Finding the desktop's default web browser (XDG mimeapps.list and desktop entries) and building
// the command line that opens a URL with it. The parsers are pure; the look-up reads the files
// named by the XDG environment variables each time (nothing cached). Failures read as "none"
// (an empty text or nullopt). Any thread.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Longest command line the launcher runs; a longer one is refused rather than cut.
inline constexpr int kMaxBrowserCommandLength = 519;

// Cuts commandTemplate at its first URL placeholder, tried in this order: "%1" in double quotes,
// %1, "%u", %u, "%U", %U (the placeholder and all after it are dropped; without one the whole
// template stays), then appends one blank and the URL. nullopt when the result would be longer
// than kMaxBrowserCommandLength.
std::optional<QString> BuildBrowserCommand(const QString& commandTemplate, const QString& url);

// The desktop ids that the [Default Applications] group of a mimeapps.list text gives for
// mimeType, in order of preference.
QStringList DefaultApplicationsFor(const QString& mimeAppsText, const QString& mimeType);

// The Exec value of the [Desktop Entry] group of a desktop entry text, its escapes (\s \n \t \r
// \\) resolved; "" when there is none. Exec lines of other groups (desktop actions) are ignored.
QString DesktopEntryExec(const QString& desktopEntryText);

// Where mimeapps.list files are looked for, most important first: $XDG_CONFIG_HOME (default
// ~/.config), each of $XDG_CONFIG_DIRS (default /etc/xdg), then the applications directories of
// $XDG_DATA_HOME and each of $XDG_DATA_DIRS.
QStringList MimeAppsListPaths();

// Where desktop entries are looked for: applications/ under $XDG_DATA_HOME (default
// ~/.local/share), then under each of $XDG_DATA_DIRS (default /usr/local/share:/usr/share).
QStringList ApplicationDirectories();

// The Exec line of the default handler of x-scheme-handler/http, else of text/html; the first
// listed entry that exists and has an Exec line wins. "" when none is found.
QString DefaultBrowserCommandTemplate();
