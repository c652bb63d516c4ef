#include "controls/browser_command.h"

#include <QDir>
#include <QFile>
#include <QStringView>

namespace {

// One "key=value" line of the given group of an XDG key file, blanks around '=' ignored.
// Calls visit(key, value) for every entry of that group.
template <typename Visit>
void ForEachEntryOfGroup(const QString& text, QStringView group, Visit visit) {
    bool inGroup = false;
    for (QStringView line : QStringView(text).split(u'\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) {
            continue;
        }
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            inGroup = line.sliced(1, line.size() - 2) == group;
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (inGroup && equals > 0) {
            visit(line.first(equals).trimmed(), line.sliced(equals + 1).trimmed());
        }
    }
}

QString UnescapeValue(QStringView value) {
    QString result;
    result.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\' || i + 1 == value.size()) {
            result.append(value[i]);
            continue;
        }
        const QChar next = value[++i];
        if (next == u's') {
            result.append(u' ');
        } else if (next == u'n') {
            result.append(u'\n');
        } else if (next == u't') {
            result.append(u'\t');
        } else if (next == u'r') {
            result.append(u'\r');
        } else if (next == u'\\') {
            result.append(u'\\');
        } else {
            result.append(u'\\').append(next);
        }
    }
    return result;
}

QString ReadText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

// An XDG base directory variable: absolute paths only, as the base directory rules require.
QString HomeDirectory(const char* variable, const QString& fallbackUnderHome) {
    const QString value = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(value) ? value : QDir::homePath() + u'/' + fallbackUnderHome;
}

QStringList DirectoryList(const char* variable, const QString& fallback) {
    QString value = qEnvironmentVariable(variable);
    if (value.isEmpty()) {
        value = fallback;
    }
    QStringList directories;
    for (const QString& directory : value.split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(directory)) {
            directories.append(directory);
        }
    }
    return directories;
}

QString DataHome() {
    return HomeDirectory("XDG_DATA_HOME", QStringLiteral(".local/share"));
}

QStringList DataDirectories() {
    return DirectoryList("XDG_DATA_DIRS", QStringLiteral("/usr/local/share:/usr/share"));
}

QString ExecOfEntry(const QString& desktopId) {
    if (desktopId.contains(u'/') || desktopId.startsWith(u'.')) {
        return {};  // an id names a file inside the applications directory, nowhere else
    }
    for (const QString& directory : ApplicationDirectories()) {
        const QString path = directory + u'/' + desktopId;
        if (QFile::exists(path)) {
            const QString exec = DesktopEntryExec(ReadText(path));
            if (!exec.isEmpty()) {
                return exec;
            }
        }
    }
    return {};
}

}  // namespace

std::optional<QString> BuildBrowserCommand(const QString& commandTemplate, const QString& url) {
    static const QString kPlaceholders[] = {QStringLiteral("\"%1\""), QStringLiteral("%1"),
                                            QStringLiteral("\"%u\""), QStringLiteral("%u"),
                                            QStringLiteral("\"%U\""), QStringLiteral("%U")};
    qsizetype cut = commandTemplate.size();
    for (const QString& placeholder : kPlaceholders) {
        const qsizetype found = commandTemplate.indexOf(placeholder);
        if (found >= 0) {
            cut = found;
            break;
        }
    }
    if (cut + 1 + url.size() > kMaxBrowserCommandLength) {
        return std::nullopt;
    }
    return commandTemplate.first(cut) + u' ' + url;
}

QStringList DefaultApplicationsFor(const QString& mimeAppsText, const QString& mimeType) {
    QStringList ids;
    ForEachEntryOfGroup(mimeAppsText, u"Default Applications",
                        [&](QStringView key, QStringView value) {
                            if (key == mimeType) {
                                for (QStringView id : value.split(u';', Qt::SkipEmptyParts)) {
                                    if (!id.trimmed().isEmpty()) {
                                        ids.append(id.trimmed().toString());
                                    }
                                }
                            }
                        });
    return ids;
}

QString DesktopEntryExec(const QString& desktopEntryText) {
    QString exec;
    ForEachEntryOfGroup(desktopEntryText, u"Desktop Entry",
                        [&](QStringView key, QStringView value) {
                            if (key == u"Exec" && exec.isEmpty()) {
                                exec = UnescapeValue(value);
                            }
                        });
    return exec;
}

QStringList MimeAppsListPaths() {
    QStringList paths{HomeDirectory("XDG_CONFIG_HOME", QStringLiteral(".config")) +
                      QStringLiteral("/mimeapps.list")};
    for (const QString& directory : DirectoryList("XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"))) {
        paths.append(directory + QStringLiteral("/mimeapps.list"));
    }
    paths.append(DataHome() + QStringLiteral("/applications/mimeapps.list"));
    for (const QString& directory : DataDirectories()) {
        paths.append(directory + QStringLiteral("/applications/mimeapps.list"));
    }
    return paths;
}

QStringList ApplicationDirectories() {
    QStringList directories{DataHome() + QStringLiteral("/applications")};
    for (const QString& directory : DataDirectories()) {
        directories.append(directory + QStringLiteral("/applications"));
    }
    return directories;
}

QString DefaultBrowserCommandTemplate() {
    const QStringList listPaths = MimeAppsListPaths();
    QStringList listTexts;
    for (const QString& path : listPaths) {
        listTexts.append(ReadText(path));
    }
    for (const QString& mimeType :
         {QStringLiteral("x-scheme-handler/http"), QStringLiteral("text/html")}) {
        for (const QString& text : listTexts) {
            for (const QString& id : DefaultApplicationsFor(text, mimeType)) {
                const QString exec = ExecOfEntry(id);
                if (!exec.isEmpty()) {
                    return exec;
                }
            }
        }
    }
    return {};
}
