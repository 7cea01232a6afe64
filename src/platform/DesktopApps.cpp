#include "platform/DesktopApps.h"

#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QStandardPaths>
#include <QUrl>

namespace {

using Group = QHash<QString, QString>;

// The key=value lines of group `wanted` in an ini-style file (keys may hold '/', which QSettings would split).
Group readGroup(const QString &path, const QString &wanted)
{
    QFile file(path);
    Group group;
    if (!file.open(QIODevice::ReadOnly))
        return group;
    bool inside = false;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inside = line == QLatin1Char('[') + wanted + QLatin1Char(']');
        else if (const qsizetype eq = line.indexOf(QLatin1Char('='));
                 inside && eq > 0 && !group.contains(line.left(eq).trimmed()))
            group.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return group;
}

// The user's folder of a kind (an environment variable, else its place in the home folder), then the system's.
QStringList dirs(const char *home, const QString &homeDefault, const char *system, const QString &systemDefault)
{
    const QString user = qEnvironmentVariable(home), shared = qEnvironmentVariable(system);
    return QStringList{user.isEmpty() ? QDir::homePath() + homeDefault : user} +
           (shared.isEmpty() ? systemDefault : shared).split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

QStringList dataDirs()
{
    return dirs("XDG_DATA_HOME", QStringLiteral("/.local/share"), "XDG_DATA_DIRS",
                QStringLiteral("/usr/local/share:/usr/share"));
}

// Desktop entry ids that take `mimeType`, the most wanted first.
QStringList candidates(const QString &mimeType)
{
    QStringList lists; // mimeapps.list files, in the order the desktops read them
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").toLower().split(':', Qt::SkipEmptyParts);
    QStringList places =
        dirs("XDG_CONFIG_HOME", QStringLiteral("/.config"), "XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"));
    for (const QString &dir : dataDirs())
        places << dir + QStringLiteral("/applications");
    for (const QString &place : places) {
        for (const QString &desktop : desktops)
            lists << place + '/' + desktop + QStringLiteral("-mimeapps.list");
        lists << place + QStringLiteral("/mimeapps.list");
    }
    QStringList ids;
    for (const char *group : {"Default Applications", "Added Associations"})
        for (const QString &list : lists)
            ids << readGroup(list, QLatin1String(group)).value(mimeType).split(';', Qt::SkipEmptyParts);
    for (const QString &dir : dataDirs())
        ids << readGroup(dir + QStringLiteral("/applications/mimeinfo.cache"), QStringLiteral("MIME Cache"))
                   .value(mimeType)
                   .split(';', Qt::SkipEmptyParts);
    return ids;
}

} // namespace

namespace DesktopApps {

QString unescapeValue(const QString &value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar c = value[++i];
        out += c == 's' ? QChar(' ') : c == 'n' ? QChar('\n') : c == 't' ? QChar('\t') : c == 'r' ? QChar('\r') : c;
    }
    return out;
}

QStringList expandExec(const QString &exec, const QString &file, const QString &icon, const QString &name)
{
    // Split into arguments: double quotes group, and inside them a backslash escapes the next character.
    QStringList words;
    QString word;
    bool quoted = false, started = false;
    const QString line = unescapeValue(exec);
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted && c == '\\' && i + 1 < line.size()) {
            word += line[++i];
        } else if (c == '"') {
            quoted = !quoted;
            started = true;
        } else if (!quoted && c.isSpace()) {
            if (started)
                words << word;
            word.clear();
            started = false;
        } else {
            word += c;
            started = true;
        }
    }
    if (quoted)
        return {};
    if (started)
        words << word;

    QStringList args;
    bool placed = false;
    const QString url = QString::fromUtf8(QUrl::fromLocalFile(file).toEncoded());
    for (const QString &w : words) {
        if (w == QLatin1String("%i")) {
            if (!icon.isEmpty())
                args << QStringLiteral("--icon") << icon;
            continue;
        }
        QString out;
        for (qsizetype i = 0; i < w.size(); ++i) {
            if (w[i] != '%' || i + 1 == w.size()) {
                out += w[i];
                continue;
            }
            const QChar code = w[++i];
            if (code == 'f' || code == 'F' || code == 'u' || code == 'U') {
                out += code.toLower() == 'f' ? file : url;
                placed = true;
            } else if (code == 'c')
                out += name;
            else if (code == '%')
                out += '%';
            // Other codes (%k, and the deprecated ones) are dropped.
        }
        if (!out.isEmpty() || !w.startsWith('%'))
            args << out;
    }
    if (!args.isEmpty() && !placed)
        args << file;
    return args;
}

std::optional<QStringList> commandFor(const QString &mimeType, const QString &file)
{
    for (const QString &id : candidates(mimeType)) {
        for (const QString &dir : dataDirs()) {
            // An id "vendor-app.desktop" may also live as "vendor/app.desktop".
            for (QString path : {dir + "/applications/" + id, dir + "/applications/" + QString(id).replace('-', '/')}) {
                if (!QFileInfo(path).isFile())
                    continue;
                const Group entry = readGroup(path, QStringLiteral("Desktop Entry"));
                const QString tryExec = unescapeValue(entry.value(QStringLiteral("TryExec")));
                if (entry.value(QStringLiteral("Hidden")) == QLatin1String("true") ||
                    (!tryExec.isEmpty() && QStandardPaths::findExecutable(tryExec).isEmpty() &&
                     !QFileInfo(tryExec).isExecutable()))
                    break;
                const QStringList args =
                    expandExec(entry.value(QStringLiteral("Exec")), file, entry.value(QStringLiteral("Icon")),
                               entry.value(QStringLiteral("Name")));
                if (args.isEmpty()) {
                    Log::info(QStringLiteral("DesktopApps: %1 has no usable Exec line").arg(path));
                    break;
                }
                Log::info(QStringLiteral("DesktopApps: %1 opens %2 files").arg(id, mimeType));
                return args;
            }
        }
    }
    return std::nullopt;
}

} // namespace DesktopApps
