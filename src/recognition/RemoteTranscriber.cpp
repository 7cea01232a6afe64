#include "recognition/RemoteTranscriber.h"

#include "platform/IcuText.h"
#include "platform/Log.h"
#include "recognition/Network.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QUuid>
#include <qcoronetworkreply.h>

#include <unicode/regex.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace RemoteTranscriber {
namespace {

constexpr int sampleRate = 16000;
constexpr qsizetype wavHeaderSize = 44;
// Far beyond any recognition answer: a longer one is a broken server, not text to paste.
constexpr qsizetype answerLimit = 4 * 1024 * 1024;
constexpr qsizetype loggedBodyBytes = 300;
// The WAV size fields are 32 bits wide.
constexpr std::size_t maxSamples = (0xFFFF'FFFFull - 36) / 2;

void putU32(char *at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = char((value >> (8 * i)) & 0xFF);
}

void putU16(char *at, quint16 value)
{
    at[0] = char(value & 0xFF);
    at[1] = char(value >> 8);
}

qint16 pcm(float s)
{
    if (!(s < 1.0f)) // also NaN
        return 32767;
    // Rounded half away from zero. In double the ±0.5 is exact for every float, and the
    // truncating conversion is much cheaper than lround.
    const double x = double(std::max(s, -1.0f) * 32767.0f);
    return qint16(x >= 0 ? int(x + 0.5) : int(x - 0.5));
}

// Appends the WAV file for `samples` to `out`, which has room for it reserved.
void appendWav(QByteArray &out, std::span<const float> samples)
{
    if (samples.size() > maxSamples)
        throw DescribedError(QStringLiteral("запись слишком длинная для файла WAV"));
    const auto n = quint32(samples.size());
    const qsizetype start = out.size();
    out.resize(start + wavHeaderSize + 2 * qsizetype(n));
    char *p = out.data() + start;
    std::memcpy(p, "RIFF", 4);
    putU32(p + 4, 36 + 2 * n);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    putU32(p + 16, 16);
    putU16(p + 20, 1);
    putU16(p + 22, 1);
    putU32(p + 24, sampleRate);
    putU32(p + 28, sampleRate * 2);
    putU16(p + 32, 2);
    putU16(p + 34, 16);
    std::memcpy(p + 36, "data", 4);
    putU32(p + 40, 2 * n);
    p += wavHeaderSize;
    for (const float s : samples) {
        putU16(p, quint16(pcm(s)));
        p += 2;
    }
}

QByteArray textPart(const QByteArray &boundary, const char *name, const QString &value)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value.toUtf8() +
           "\r\n";
}

// The case-insensitive patterns of a payment refusal, compiled once per process.
const icu::RegexPattern &compiled(const char16_t *pattern)
{
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    icu::RegexPattern *compiled =
        icu::RegexPattern::compile(icu::UnicodeString(pattern), UREGEX_CASE_INSENSITIVE, where, status);
    if (U_FAILURE(status))
        qFatal("RemoteTranscriber: a constant pattern does not compile: %s", u_errorName(status));
    return *compiled;
}

const icu::RegexPattern &keyLimit()
{
    static const icu::RegexPattern &pattern = compiled(u"лимит ключа|\\bKey=|\\bKey over\\b|ExceededTokenBudget");
    return pattern;
}

const icu::RegexPattern &balance()
{
    static const icu::RegexPattern &pattern =
        compiled(u"недостаточно средств|закончились средства|баланс|ExceededBudget: User=");
    return pattern;
}

bool found(const icu::RegexPattern &pattern, const QString &text)
{
    const icu::UnicodeString subject = IcuText::toIcu(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(subject, status));
    return U_SUCCESS(status) && matcher->find(status) && U_SUCCESS(status);
}

// {"error": {"message": "…"}}; a blank message says nothing the user could read.
std::optional<QString> errorMessage(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue message =
        document.object().value(QLatin1String("error")).toObject().value(QLatin1String("message"));
    if (!document.isObject() || !message.isString() || message.toString().trimmed().isEmpty())
        return std::nullopt;
    return message.toString();
}

// {"text": "…"}, or the whole body as text so that a plain-text server works too.
QString text(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue text = document.object().value(QLatin1String("text"));
    if (document.isObject() && text.isString())
        return text.toString();
    return QString::fromUtf8(body);
}

// The token of an "Authorization: Bearer <token>" value.
QByteArray credential(const RemoteEndpoint &endpoint)
{
    const QString bearer = QStringLiteral("Bearer ");
    const QString &value = endpoint.authorization;
    return (value.startsWith(bearer) ? value.mid(bearer.size()) : value).toUtf8();
}

// The body excerpt for the log. A server may echo what it was sent; the log must hold
// neither the key nor the prompt.
QString excerpt(const QByteArray &body, const QByteArray &key, const QString &prompt)
{
    return QString::fromUtf8(Log::redacted(body, {key, prompt.trimmed().toUtf8()}).left(loggedBodyBytes));
}

// One POST in flight: collects the answer up to answerLimit and aborts past it.
struct Upload
{
    Network::ReplyPtr reply;
    QByteArray answer;
    bool tooLong = false;

    void collect()
    {
        if (tooLong)
            return;
        answer += reply->read(answerLimit + 1 - answer.size());
        if (answer.size() > answerLimit) {
            tooLong = true;
            Network::abortLater(reply.get());
        }
    }
};

// The text of a finished upload, or the error it ended in.
QString result(const Upload &upload, const RemoteEndpoint &endpoint, const QString &prompt, qint64 elapsedMs)
{
    const QNetworkReply &reply = *upload.reply;
    // An answer we cut off at answerLimit has arrived as far as it matters.
    if (!upload.tooLong && Network::failedInTransfer(reply)) {
        // Nothing but the transfer time-out aborts a reply we did not abort ourselves.
        if (reply.error() == QNetworkReply::OperationCanceledError)
            throw NetworkError(QNetworkReply::TimeoutError, reply.errorString());
        throw NetworkError::of(reply);
    }
    if (!upload.tooLong && Network::cutShort(reply, upload.answer.size()))
        throw NetworkError(QNetworkReply::RemoteHostClosedError, {});

    const int status = Network::httpStatus(reply);
    Log::info(QStringLiteral("Remote: HTTP %1 after %2 ms").arg(status).arg(elapsedMs));
    const bool success = status >= 200 && status <= 299;
    if (upload.tooLong && success)
        throw DescribedError(endpoint.name + QStringLiteral(" прислал слишком длинный ответ"));
    if (success)
        return answer(status, upload.answer, endpoint.name);
    const QByteArray key = credential(endpoint);
    Log::info(QStringLiteral("Remote: error body '%1'").arg(excerpt(upload.answer, key, prompt)));
    return answer(status, Log::redacted(upload.answer, {key}), endpoint.name);
}

} // namespace

QCoro::Task<QString> transcribe(std::vector<float> samples, RemoteEndpoint endpoint, QString language, QString prompt,
                                std::shared_ptr<CancelToken> cancel)
{
    if (cancel && cancel->isCancelled())
        throw Cancelled();
    const QByteArray boundary = newBoundary();
    const QByteArray payload = body(boundary, samples, endpoint.model, language, prompt);
    Log::info(QStringLiteral("Remote: POST %1 model=%2, %3s of audio")
                    .arg(Log::address(endpoint.url), endpoint.model,
                         QString::number(double(samples.size()) / sampleRate, 'f', 1)));

    QElapsedTimer clock;
    clock.start();
    Upload upload;
    upload.reply.reset(Network::manager().post(request(endpoint, boundary), payload));
    QNetworkReply *reply = upload.reply.get();
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [&upload] { upload.collect(); });
    // Later: the caller's cancel() returns before the recognition unwinds.
    if (cancel)
        QObject::connect(cancel.get(), &CancelToken::cancelled, reply, [reply] { Network::abortLater(reply); });
    co_await reply;
    if (reply->isOpen())
        upload.collect();
    if (cancel && cancel->isCancelled())
        throw Cancelled();
    co_return result(upload, endpoint, prompt, clock.elapsed());
}

QByteArray wav(std::span<const float> samples)
{
    QByteArray out;
    out.reserve(wavHeaderSize + 2 * qsizetype(samples.size()));
    appendWav(out, samples);
    return out;
}

QByteArray newBoundary()
{
    return "Talvane-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
}

QByteArray body(const QByteArray &boundary, std::span<const float> samples, const QString &model,
                const QString &language, const QString &prompt)
{
    const QByteArray head = "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"dictation.wav\"\r\n"
                            "Content-Type: audio/wav\r\n\r\n";
    QByteArray tail =
        "\r\n" + textPart(boundary, "model", model) + textPart(boundary, "response_format", QStringLiteral("json"));
    if (language != QLatin1String("auto"))
        tail += textPart(boundary, "language", language);
    if (const QString trimmed = prompt.trimmed(); !trimmed.isEmpty())
        tail += textPart(boundary, "prompt", trimmed);
    tail += "--" + boundary + "--\r\n";

    QByteArray out;
    out.reserve(head.size() + wavHeaderSize + 2 * qsizetype(samples.size()) + tail.size());
    out += head;
    appendWav(out, samples);
    out += tail;
    return out;
}

QNetworkRequest request(const RemoteEndpoint &endpoint, const QByteArray &boundary)
{
    QNetworkRequest request(endpoint.url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "multipart/form-data; boundary=" + boundary);
    request.setRawHeader("Authorization", endpoint.authorization.toUtf8());
    // The answer's length must be that of its bytes, to tell a cut answer from a whole one.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setTransferTimeout(timeoutMs);
    return request;
}

QString answer(int status, const QByteArray &body, const QString &name)
{
    if (status >= 200 && status <= 299)
        return text(body).replace(QLatin1Char('\n'), QLatin1Char(' ')).trimmed();
    throw CloudError(status, explain(status, body, name).message);
}

Explanation explain(int status, const QByteArray &body, const QString &name)
{
    const std::optional<QString> message = errorMessage(body);
    switch (status) {
    case 401:
    case 403: return {CloudRefusal::other, QStringLiteral("облако не приняло ключ устройства — проверьте подписку")};
    case 402:
        if (!message)
            return {CloudRefusal::balance, QStringLiteral("Пополните баланс Nimbrel")};
        if (found(keyLimit(), *message))
            return {CloudRefusal::deviceLimit, QStringLiteral("Месячный лимит облака для этого устройства исчерпан")};
        if (found(balance(), *message))
            return {CloudRefusal::balance, QStringLiteral("Пополните баланс Nimbrel")};
        return {CloudRefusal::other, QStringLiteral("Облако отказало: ") + *message};
    case 413: return {CloudRefusal::other, QStringLiteral("запись слишком длинная для сервера")};
    case 429:
        return {CloudRefusal::other, message.value_or(QStringLiteral("сервер перегружен — повторите через минуту"))};
    default:
        return {CloudRefusal::other,
                message.value_or(name + QStringLiteral(" ответил HTTP ") + QString::number(status))};
    }
}

QCoro::Task<QString> Client::transcribe(std::vector<float> samples, RemoteEndpoint endpoint, QString language,
                                        QString prompt)
{
    token = std::make_shared<CancelToken>();
    return RemoteTranscriber::transcribe(std::move(samples), std::move(endpoint), std::move(language),
                                         std::move(prompt), token);
}

void Client::cancel()
{
    if (token)
        token->cancel();
}

} // namespace RemoteTranscriber

RemoteEndpoint RemoteEndpoint::nimbrel(const QUrl &serviceUrl, const QString &key)
{
    QUrl url = serviceUrl;
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QStringLiteral("/v1/audio/transcriptions"));
    return {url, QStringLiteral("Bearer ") + key.trimmed(), QStringLiteral("gemini-3-5-transcribe"),
            QStringLiteral("Nimbrel Cloud")};
}
