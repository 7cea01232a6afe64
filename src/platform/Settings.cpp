#include "platform/Settings.h"

#include "platform/Log.h"
#include "platform/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <filesystem>
#include <stdexcept>

namespace {

// Reads a string key: missing or null keeps `field`, another type rejects the file.
void readString(const QJsonObject &object, const char *key, QString &field)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return;
    if (!value.isString())
        throw std::runtime_error(std::string("the value of \"") + key + "\" is not a string");
    field = value.toString();
}

void readBool(const QJsonObject &object, const char *key, bool &field)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return;
    if (!value.isBool())
        throw std::runtime_error(std::string("the value of \"") + key + "\" is not a boolean");
    field = value.toBool();
}

Settings decode(const QByteArray &data)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        throw std::runtime_error(QStringLiteral("the data is not valid JSON (%1 at offset %2)")
                                     .arg(error.errorString())
                                     .arg(error.offset)
                                     .toStdString());
    if (!document.isObject())
        throw std::runtime_error("the top level is not a JSON object");
    const QJsonObject object = document.object();
    Settings settings;
    readString(object, "Model", settings.model);
    readString(object, "Prompt", settings.prompt);
    readString(object, "Language", settings.language);
    readString(object, "ModelsDir", settings.modelsDir);
    readBool(object, "AutoPaste", settings.autoPaste);
    readBool(object, "CleanSpeech", settings.cleanSpeech);
    // A hot key of another type is a slip of a hand edit that must not cost the other settings.
    if (const QJsonValue hotkey = object.value(QLatin1String("Hotkey")); hotkey.isString())
        settings.hotkey = hotkey.toString();
    else if (!hotkey.isUndefined() && !hotkey.isNull())
        Log::info(QStringLiteral("Settings: \"Hotkey\" is not a string — using %1").arg(settings.hotkey));
    readBool(object, "UseGPU", settings.useGpu);
    QString engine = Settings::engineName(settings.engine);
    readString(object, "Engine", engine);
    // Any other value is a recognition of 3.3 that is gone; migrate() reports it.
    settings.engine = engine == Settings::engineName(Engine::cloud) ? Engine::cloud : Engine::local;
    return settings;
}

// A JSON string literal; slashes stay plain so that paths read naturally.
QByteArray quoted(const QString &text)
{
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
                out += QByteArray("\\u00") + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    return out + "\"";
}

} // namespace

QString Settings::path()
{
    return QString::fromStdString((Paths::supportDir() / "settings.json").string());
}

namespace {

QByteArray readAll(const QString &file)
{
    if (QFileInfo(file).isDir())
        throw std::runtime_error("it is a folder, not a file");
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        throw std::runtime_error(in.errorString().toStdString());
    QByteArray data = in.readAll();
    if (in.error() != QFileDevice::NoError)
        throw std::runtime_error(in.errorString().toStdString());
    return data;
}

// A file that cannot be read as settings is the user's hand edit with a slip in it: before
// it is replaced, it moves aside so that the edit can be mended rather than lost.
void keepUnreadable(const QString &file)
{
    if (!QFileInfo(file).isFile())
        return;
    try {
        decode(readAll(file));
        return;
    } catch (const std::exception &) {
    }
    const QString aside = file + QStringLiteral(".bad");
    std::error_code failed;
    std::filesystem::remove_all(aside.toStdString(), failed);
    std::filesystem::rename(file.toStdString(), aside.toStdString(), failed);
    if (failed)
        Log::error(QStringLiteral("Settings: could not keep the unreadable %1 as %2: %3")
                         .arg(file, aside, QString::fromStdString(failed.message())));
    else
        Log::info(QStringLiteral("Settings: kept the unreadable %1 as %2").arg(file, aside));
}

} // namespace

Settings Settings::load()
{
    const QString file = path();
    if (!QFileInfo::exists(file)) {
        Log::info(QStringLiteral("No settings file at %1 — using defaults").arg(file));
        return {};
    }
    Settings settings;
    QByteArray data;
    try {
        data = readAll(file);
        settings = decode(data);
    } catch (const std::exception &e) {
        Log::error(QStringLiteral("Settings load from %1 failed, using defaults: %2")
                         .arg(file, QString::fromStdString(e.what())));
        return {};
    }
    Log::info(QStringLiteral("Settings loaded from %1").arg(file));
    if (settings.migrate(data))
        settings.save();
    return settings;
}

bool Settings::migrate(const QByteArray &data)
{
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject())
        return false;
    const QJsonObject object = document.object();
    bool changed = false;
    const QJsonValue engineValue = object.value(QLatin1String("Engine"));
    if (engineValue.isString() && engineValue != engineName(Engine::local) && engineValue != engineName(Engine::cloud)) {
        Log::info(QStringLiteral("Settings: recognition '%1' is gone in 3.4 — switched to this computer")
                      .arg(engineValue.toString()));
        changed = true;
    }
    for (const char *key : {"ApiKey", "ServerUrl", "ServerKey", "ServerModel", "PaidUntil"}) {
        if (object.contains(QLatin1String(key))) {
            Log::info(QStringLiteral("Settings: removed the key, own server and paid-until fields of 3.3"));
            changed = true;
            break;
        }
    }
    return changed;
}

QString Settings::engineName(Engine engine)
{
    return engine == Engine::cloud ? QStringLiteral("cloud") : QStringLiteral("local");
}

QByteArray Settings::encoded() const
{
    auto boolean = [](bool b) { return QByteArray(b ? "true" : "false"); };
    return "{\n"
           "  \"Model\" : " + quoted(model) + ",\n"
           "  \"Prompt\" : " + quoted(prompt) + ",\n"
           "  \"Language\" : " + quoted(language) + ",\n"
           "  \"ModelsDir\" : " + quoted(modelsDir) + ",\n"
           "  \"AutoPaste\" : " + boolean(autoPaste) + ",\n"
           "  \"CleanSpeech\" : " + boolean(cleanSpeech) + ",\n"
           "  \"UseGPU\" : " + boolean(useGpu) + ",\n"
           "  \"Engine\" : " + quoted(engineName(engine)) + ",\n"
           "  \"Hotkey\" : " + quoted(hotkey) + "\n"
           "}";
}

void Settings::save() const
{
    keepUnreadable(path());
    QSaveFile out(path());
    const QByteArray bytes = encoded();
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        Log::error(QStringLiteral("Settings save failed: %1").arg(out.errorString()));
}
