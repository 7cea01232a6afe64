#include "platform/Autostart.h"

#include "platform/DesktopApps.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace Autostart {
namespace {

const QString label = QStringLiteral("cloud.nimbrel.talvane");

// --- XDG desktop entry -------------------------------------------------------------

// Quotes one Exec argument as the desktop entry rules want it, including the
// doubling of '%' (field codes) that applies to the whole value.
QString execArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString text = argument;
    text.replace(QLatin1Char('%'), QStringLiteral("%%"));
    // Readers split arguments at any white space, a no-break space or a carriage return too.
    const bool needsQuotes =
        std::any_of(text.begin(), text.end(), [](QChar c) { return reserved.contains(c) || c.isSpace(); });
    if (!needsQuotes)
        return text;
    QString quoted;
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// The general escapes of desktop entry string values.
QString escapeValue(const QString &value)
{
    QString out;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            out += QStringLiteral("\\r");
        else
            out += c;
    }
    return out;
}

// The first argument of an Exec value, with quoting and '%%' undone.
std::optional<QString> firstExecArgument(const QString &exec)
{
    qsizetype i = 0;
    while (i < exec.size() && exec[i].isSpace())
        ++i;
    if (i == exec.size())
        return std::nullopt;
    QString argument;
    if (exec[i] == QLatin1Char('"')) {
        for (++i;; ++i) {
            if (i >= exec.size())
                return std::nullopt; // unterminated quote
            if (exec[i] == QLatin1Char('"'))
                break;
            if (exec[i] == QLatin1Char('\\') && i + 1 < exec.size())
                ++i;
            argument += exec[i];
        }
    } else {
        while (i < exec.size() && !exec[i].isSpace())
            argument += exec[i++];
    }
    argument.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return argument;
}

QByteArray xdgEntryFor(const QString &executable)
{
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Talvane\n"
                                        "Comment=Dictation from the tray\n"
                                        "Exec=%1\n"
                                        "Icon=talvane\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(escapeValue(execArgument(executable)));
    return text.toUtf8();
}

std::optional<QString> xdgStartedProgram(const QByteArray &file)
{
    QString group;
    std::optional<QString> exec;
    bool sawGroup = false;
    for (const QString &rawLine : QString::fromUtf8(file).split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            group = line.mid(1, line.size() - 2);
            sawGroup = sawGroup || group == QLatin1String("Desktop Entry");
            continue;
        }
        if (group != QLatin1String("Desktop Entry"))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return std::nullopt; // not a desktop entry
        const QString key = line.left(equals).trimmed();
        const QString value = DesktopApps::unescapeValue(line.mid(equals + 1).trimmed());
        // An entry the user switched off in a session's settings reads as off.
        if ((key == QLatin1String("Hidden") && value == QLatin1String("true")) ||
            (key == QLatin1String("X-GNOME-Autostart-enabled") && value == QLatin1String("false")))
            return std::nullopt;
        if (key == QLatin1String("Exec"))
            exec = value;
    }
    if (!sawGroup || !exec)
        return std::nullopt;
    return firstExecArgument(*exec);
}

// --- Launch-agent property list -------------------------------------------------------

// XML reads a raw carriage return as a line feed: a character reference keeps it.
void writeString(QXmlStreamWriter &xml, const QString &value)
{
    xml.writeStartElement(QStringLiteral("string"));
    const QStringList lines = value.split(QLatin1Char('\r'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            xml.writeEntityReference(QStringLiteral("#13"));
        xml.writeCharacters(lines[i]);
    }
    xml.writeEndElement();
}

QByteArray launchAgentFor(const QString &executable)
{
    QByteArray data;
    QXmlStreamWriter xml(&data);
    xml.setAutoFormatting(true);
    xml.writeStartDocument(QStringLiteral("1.0"));
    xml.writeDTD(QStringLiteral("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"));
    xml.writeStartElement(QStringLiteral("plist"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
    xml.writeStartElement(QStringLiteral("dict"));
    auto pair = [&](const QString &key, const QString &value) {
        xml.writeTextElement(QStringLiteral("key"), key);
        xml.writeTextElement(QStringLiteral("string"), value);
    };
    pair(QStringLiteral("Label"), label);
    xml.writeTextElement(QStringLiteral("key"), QStringLiteral("ProgramArguments"));
    xml.writeStartElement(QStringLiteral("array"));
    writeString(xml, executable);
    xml.writeEndElement();
    xml.writeTextElement(QStringLiteral("key"), QStringLiteral("RunAtLoad"));
    xml.writeEmptyElement(QStringLiteral("true"));
    pair(QStringLiteral("ProcessType"), QStringLiteral("Interactive"));
    pair(QStringLiteral("LimitLoadToSessionType"), QStringLiteral("Aqua"));
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return data;
}

std::optional<QString> launchAgentStartedProgram(const QByteArray &file)
{
    QXmlStreamReader xml(file);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist"))
        return std::nullopt;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("dict"))
        return std::nullopt; // the top level must be a dictionary
    std::optional<QString> first;
    bool found = false;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("key"))
            return std::nullopt;
        const QString key = xml.readElementText();
        if (!xml.readNextStartElement())
            return std::nullopt;
        if (key != QLatin1String("ProgramArguments") || found) {
            xml.skipCurrentElement();
            continue;
        }
        found = true;
        if (xml.name() != QLatin1String("array"))
            return std::nullopt;
        while (xml.readNextStartElement()) {
            if (xml.name() != QLatin1String("string"))
                return std::nullopt; // not an array of strings
            const QString argument = xml.readElementText();
            if (!first)
                first = argument;
        }
    }
    if (xml.hasError())
        return std::nullopt;
    return first;
}

QString agentPath(const QString &folder, const Format &format)
{
    return QDir(folder).filePath(format.fileName);
}

} // namespace

const Format &xdgEntry()
{
    static const Format format{label + QStringLiteral(".desktop"), xdgEntryFor, xdgStartedProgram};
    return format;
}

const Format &launchAgent()
{
    static const Format format{label + QStringLiteral(".plist"), launchAgentFor, launchAgentStartedProgram};
    return format;
}

std::optional<QString> executable()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::nullopt;
    for (auto dir = self.parent_path(); !dir.empty(); dir = dir.parent_path()) {
        if (std::filesystem::exists(dir / "CMakeCache.txt", error))
            return std::nullopt;
        if (dir == dir.root_path())
            break;
    }
    return QString::fromStdString(self.string());
}

QString folder()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const std::filesystem::path base =
        (config && *config == '/') ? std::filesystem::path(config) : Paths::home() / ".config";
    return QString::fromStdString((base / "autostart").string());
}

bool isOn(const QString &folder, const std::optional<QString> &executable, const Format &format)
{
    if (!executable)
        return false;
    QFile file(agentPath(folder, format));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const auto started = format.startedProgram(file.readAll());
    return started && *started == *executable;
}

void set(bool on, const QString &folder, const std::optional<QString> &executable, const Format &format)
{
    const QString path = agentPath(folder, format);
    if (on && executable) {
        if (!QDir().mkpath(folder))
            throw Error(QStringLiteral("cannot create the folder %1").arg(folder).toStdString());
        QSaveFile file(path);
        const QByteArray data = format.entry(*executable);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
            throw Error(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()).toStdString());
        Log::write("INFO", "Autostart on");
        return;
    }
    if (QFile::exists(path) && !QFile::remove(path))
        throw Error(QStringLiteral("cannot remove %1").arg(path).toStdString());
    Log::write("INFO", "Autostart off");
}

} // namespace Autostart
