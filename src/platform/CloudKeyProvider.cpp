#include "platform/CloudKeyProvider.h"

#include "platform/Log.h"
#include "platform/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

struct Contents
{
    QString key;
    QUrl url = CloudKeyFile::defaultServiceUrl();
    QString problem; // why the file could not be used as it stands; empty when fine
};

QUrl serviceAddress(const QJsonValue &value, QString &problem)
{
    if (value.isUndefined() || value.isNull())
        return CloudKeyFile::defaultServiceUrl();
    const QUrl url(value.toString().trimmed(), QUrl::StrictMode);
    const bool web = url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http");
    if (!value.isString() || !url.isValid() || !web || url.host().isEmpty()) {
        problem = QStringLiteral("\"URL\" is not an http(s) address — using the default service address");
        return CloudKeyFile::defaultServiceUrl();
    }
    return url;
}

Contents read()
{
    Contents contents;
    QFile file(CloudKeyFile::path());
    if (!file.open(QIODevice::ReadOnly)) {
        contents.problem = file.errorString();
        return contents;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (!document.isObject()) {
        contents.problem =
            error.error != QJsonParseError::NoError
                ? QStringLiteral("not valid JSON (%1 at offset %2)").arg(error.errorString()).arg(error.offset)
                : QStringLiteral("the top level is not a JSON object");
        return contents;
    }
    const QJsonObject object = document.object();
    contents.url = serviceAddress(object.value(QLatin1String("URL")), contents.problem);
    const QJsonValue key = object.value(QLatin1String("Key"));
    if (!key.isString() && !key.isUndefined() && !key.isNull())
        contents.problem = QStringLiteral("\"Key\" is not a string");
    contents.key = key.toString().trimmed();
    return contents;
}

// A fresh file for the user to fill in; never replaces an existing one.
void writeTemplate(const QString &path)
{
    QFile file(path);
    const QByteArray text =
        "{\n  \"URL\" : \"" + CloudKeyFile::defaultServiceUrl().toEncoded() + "\",\n  \"Key\" : \"\"\n}\n";
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, ownerOnly) || file.write(text) != text.size()) {
        Log::error(QStringLiteral("Cloud key: could not create %1: %2").arg(path, file.errorString()));
        return;
    }
    Log::info(QStringLiteral("Cloud key: no key file — created %1 for the device key").arg(path));
}

// The file holds a credential: nobody but its owner may read it.
void restrictToOwner(const QString &path)
{
    const QFileDevice::Permissions permissions = QFileInfo(path).permissions();
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (!(permissions & others))
        return;
    if (QFile::setPermissions(path, ownerOnly))
        Log::info(QStringLiteral("Cloud key: %1 was open to other users — now readable by its owner only").arg(path));
    else
        Log::error(QStringLiteral("Cloud key: could not restrict %1 to its owner").arg(path));
}

} // namespace

QString CloudKeyFile::path()
{
    return QString::fromStdString((Paths::supportDir() / "cloud.json").string());
}

QUrl CloudKeyFile::defaultServiceUrl()
{
    return QUrl(QStringLiteral("https://api.nimbrel.cloud"));
}

CloudAccess CloudKeyFile::current() const
{
    const Contents contents = read();
    return {contents.key, contents.url};
}

QCoro::Task<bool> CloudKeyFile::fetch()
{
    const QString file = path();
    if (!QFileInfo::exists(file)) {
        writeTemplate(file);
        co_return false;
    }
    restrictToOwner(file);
    const Contents contents = read();
    if (!contents.problem.isEmpty())
        Log::error(QStringLiteral("Cloud key: %1: %2").arg(file, contents.problem));
    if (contents.key.isEmpty()) {
        Log::info(QStringLiteral("Cloud key: no key in %1").arg(file));
        co_return false;
    }
    Log::info(QStringLiteral("Cloud key: read from %1").arg(file));
    co_return true;
}
