#include "AwaitTask.h"
#include "HttpServer.h"
#include "TestSupport.h"

#include "recognition/Network.h"
#include "recognition/RemoteTranscriber.h"

#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <limits>

using TestSupport::await;
using TestSupport::logLines;
using Framing = HttpServer::Response::Framing;

namespace {

const QString key = QStringLiteral("sk-test-SECRET-7f3a9c2e");
const QString prompt = QStringLiteral("ПодсказкаСекрет, Kubernetes");

QByteArray le32(quint32 v)
{
    const char bytes[] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
    return QByteArray(bytes, 4);
}

// The 44-byte header written out field by field.
QByteArray wavHeader(quint32 samples)
{
    return "RIFF" + le32(36 + 2 * samples) + "WAVE" + "fmt " +
           QByteArray::fromHex("10000000 0100 0100 803e0000 007d0000 0200 1000") + "data" + le32(2 * samples);
}

std::vector<float> tone(int count)
{
    std::vector<float> samples(count);
    for (int i = 0; i < count; ++i)
        samples[i] = 0.3f * std::sin(float(i) * 0.05f);
    return samples;
}

QByteArray multipart(const QByteArray &boundary, const QByteArray &wav, const QByteArrayList &fields)
{
    QByteArray out = "--" + boundary + "\r\n" +
                     R"(Content-Disposition: form-data; name="file"; filename="dictation.wav")" +
                     "\r\nContent-Type: audio/wav\r\n\r\n" + wav + "\r\n";
    for (qsizetype i = 0; i + 1 < fields.size(); i += 2)
        out += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + fields[i] + "\"\r\n\r\n" +
               fields[i + 1] + "\r\n";
    return out + "--" + boundary + "--\r\n";
}

bool anyMatches(const QStringList &lines, const QString &pattern)
{
    const QRegularExpression re(pattern);
    return std::any_of(lines.begin(), lines.end(), [&](const QString &l) { return re.match(l).hasMatch(); });
}

} // namespace

class RemoteTranscriberTest : public QObject
{
    Q_OBJECT

    HttpServer server;
    QSet<QByteArray> boundaries;
    QStringList recognised; // every text a recognition returned; none may reach the log

    RemoteEndpoint endpoint(const QString &name = QStringLiteral("Nimbrel Cloud")) const
    {
        return {server.url(QStringLiteral("/v1/audio/transcriptions")), QStringLiteral("Bearer ") + key,
                QStringLiteral("gemini-3-5-transcribe"), name};
    }

    TestSupport::Outcome<QString> recognise(const HttpServer::Response &answer, const QString &language = u"auto"_qs,
                                            const QString &hint = prompt, std::vector<float> samples = tone(24000))
    {
        server.enqueue(answer);
        auto outcome = await(RemoteTranscriber::transcribe(std::move(samples), endpoint(), language, hint));
        if (outcome.value)
            recognised << *outcome.value;
        return outcome;
    }

    static HttpServer::Response framed(int status, const QByteArray &body, Framing framing, int drip = 0)
    {
        HttpServer::Response response = HttpServer::Response::text(status, body, "application/json");
        response.framing = framing;
        response.dripBytes = drip;
        response.dripIntervalMs = drip > 0 ? 15 : 0;
        return response;
    }

private Q_SLOTS:
    void wavFormat_data()
    {
        QTest::addColumn<QList<float>>("samples");
        QTest::addColumn<QByteArray>("data");
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        QTest::newRow("no samples") << QList<float>{} << QByteArray();
        QTest::newRow("one half") << QList<float>{0.5f} << QByteArray::fromHex("0040");
        QTest::newRow("full scale and beyond")
            << QList<float>{1.0f, 2.0f, -1.0f, -3.0f} << QByteArray::fromHex("ff7f ff7f 0180 0180");
        QTest::newRow("NaN and infinities") << QList<float>{nan, inf, -inf} << QByteArray::fromHex("ff7f ff7f 0180");
        QTest::newRow("halves round away from zero")
            << QList<float>{-0.5f, 0.25f, -0.25f} << QByteArray::fromHex("00c0 0020 00e0");
        QTest::newRow("zero, negative zero, tiny")
            << QList<float>{0.0f, -0.0f, 1e-6f, -1e-6f} << QByteArray::fromHex("0000 0000 0000 0000");
        QTest::newRow("just below full scale")
            << QList<float>{0.99999994f, -0.99999994f} << QByteArray::fromHex("ff7f 0180");
    }

    void wavFormat()
    {
        QFETCH(QList<float>, samples);
        QFETCH(QByteArray, data);
        const QByteArray wav = RemoteTranscriber::wav(std::vector<float>(samples.begin(), samples.end()));
        QCOMPARE(wav.size(), 44 + 2 * samples.size());
        QCOMPARE(wav.left(44).toHex(' '), wavHeader(quint32(samples.size())).toHex(' '));
        QCOMPARE(wav.mid(44).toHex(' '), data.toHex(' '));
    }

    void uploadIsByteExact_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QByteArrayList>("fields");
        const QByteArrayList base = {"model", "gemini-3-5-transcribe", "response_format", "json"};
        QTest::newRow("auto, no prompt") << u"auto"_qs << QString() << base;
        QTest::newRow("auto, blank prompt") << u"auto"_qs << u" \t\n  "_qs << base;
        QTest::newRow("ru, padded prompt")
            << u"ru"_qs << u"  Термины  "_qs << base + QByteArrayList{"language", "ru", "prompt", "Термины"};
        QTest::newRow("en, no prompt") << u"en"_qs << QString() << base + QByteArrayList{"language", "en"};
        QTest::newRow("prompt with inner line breaks")
            << u"auto"_qs << u"\nДва\r\n\"слова\"\n"_qs << base + QByteArrayList{"prompt", "Два\r\n\"слова\""};
        QTest::newRow("AUTO is not auto") << u"AUTO"_qs << QString() << base + QByteArrayList{"language", "AUTO"};
    }

    void uploadIsByteExact()
    {
        QFETCH(QString, language);
        QFETCH(QString, hint);
        QFETCH(QByteArrayList, fields);
        const std::vector<float> samples = tone(1600);
        const auto outcome = recognise(HttpServer::Response::text(200, R"({"text":"ok"})"), language, hint, samples);
        QVERIFY(outcome.value);

        const HttpServer::Request &sent = server.requests().last();
        QCOMPARE(sent.method, QByteArray("POST"));
        QCOMPARE(sent.target, QByteArray("/v1/audio/transcriptions"));
        QCOMPARE(sent.headers.value("authorization"), (u"Bearer "_qs + key).toUtf8());
        const QByteArray contentType = sent.headers.value("content-type");
        QVERIFY2(contentType.startsWith("multipart/form-data; boundary="), contentType);
        const QByteArray boundary = contentType.mid(qstrlen("multipart/form-data; boundary="));
        QVERIFY2(QRegularExpression(u"^Talvane-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"_qs)
                     .match(QString::fromLatin1(boundary))
                     .hasMatch(),
                 boundary);
        QVERIFY2(!boundaries.contains(boundary), "every upload needs a fresh boundary");
        boundaries.insert(boundary);
        QCOMPARE(sent.headers.value("content-length").toLongLong(), sent.body.size());
        QCOMPARE(sent.body, multipart(boundary, RemoteTranscriber::wav(samples), fields));
    }

    void answers_data()
    {
        QTest::addColumn<HttpServer::Response>("answer");
        QTest::addColumn<QString>("text");
        QTest::newRow("JSON text, line feed and trailing space")
            << framed(200, R"({"text":"Привет\nмир "})", Framing::length) << u"Привет мир"_qs;
        QTest::newRow("plain text") << HttpServer::Response::text(200, "Привет") << u"Привет"_qs;
        QTest::newRow("plain text on lines") << HttpServer::Response::text(200, "  раз\nдва\n") << u"раз два"_qs;
        QTest::newRow("empty 200") << HttpServer::Response::text(200, "") << QString();
        QTest::newRow("204 without body") << HttpServer::Response::text(204, "") << QString();
        QTest::newRow("201") << framed(201, R"({"text":"создано"})", Framing::length) << u"создано"_qs;
        QTest::newRow("JSON without text")
            << framed(200, R"({"result":"x"})", Framing::length) << uR"({"result":"x"})"_qs;
        QTest::newRow("text not a string") << framed(200, R"({"text":5})", Framing::length) << uR"({"text":5})"_qs;
        QTest::newRow("JSON array") << framed(200, R"(["a"])", Framing::length) << uR"(["a"])"_qs;
        QTest::newRow("HTML") << HttpServer::Response::text(200, "<html><body>ok</body></html>", "text/html")
                              << u"<html><body>ok</body></html>"_qs;
        QTest::newRow("invalid UTF-8") << HttpServer::Response::text(200, "\xff"
                                                                          "ok\xc3")
                                       << u"\uFFFDok\uFFFD"_qs;
        QTest::newRow("chunked") << framed(200, R"({"text":"по частям"})", Framing::chunked) << u"по частям"_qs;
        QTest::newRow("ended by close") << framed(200, R"({"text":"до конца"})", Framing::close) << u"до конца"_qs;
        QTest::newRow("slow drip") << framed(200, R"({"text":"медленно"})", Framing::length, 3) << u"медленно"_qs;
        QTest::newRow("slow chunked drip")
            << framed(200, "капля за каплей", Framing::chunked, 2) << u"капля за каплей"_qs;
    }

    void answers()
    {
        QFETCH(HttpServer::Response, answer);
        QFETCH(QString, text);
        const auto outcome = recognise(answer);
        QVERIFY(!outcome.error);
        QCOMPARE(*outcome.value, text);
        const QStringList log = logLines();
        QVERIFY(anyMatches(log.mid(log.size() - 2), uR"(\[INFO\] Remote: HTTP \d+ after \d+ ms$)"_qs));
    }

    void explain_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("name");
        QTest::addColumn<CloudRefusal>("reason");
        QTest::addColumn<QString>("message");
        const QString nimbrel = u"Nimbrel Cloud"_qs;
        const QString badKey = u"облако не приняло ключ устройства — проверьте подписку"_qs;
        const QString topUp = u"Пополните баланс Nimbrel"_qs;
        const QString limit = u"Месячный лимит облака для этого устройства исчерпан"_qs;
        auto error = [](const char *message) { return QByteArray(R"({"error":{"message":")") + message + "\"}}"; };
        using R = CloudRefusal;
        QTest::newRow("401") << 401 << QByteArray() << nimbrel << R::other << badKey;
        QTest::newRow("403 with a message") << 403 << error("nope") << nimbrel << R::other << badKey;
        QTest::newRow("402 without body") << 402 << QByteArray() << nimbrel << R::balance << topUp;
        QTest::newRow("402 HTML") << 402 << QByteArray("<html>402</html>") << nimbrel << R::balance << topUp;
        QTest::newRow("402 other message")
            << 402 << error("Что-то третье") << nimbrel << R::other << u"Облако отказало: Что-то третье"_qs;
        QTest::newRow("402 Key=") << 402 << error("ExceededTokenBudget: Key=ab12") << nimbrel << R::deviceLimit
                                  << limit;
        QTest::newRow("402 key= lower case")
            << 402 << error("budget exceeded for key=ab12") << nimbrel << R::deviceLimit << limit;
        QTest::newRow("402 Key over") << 402 << error("Key over budget") << nimbrel << R::deviceLimit << limit;
        QTest::newRow("402 Keyover") << 402 << error("Keyover budget") << nimbrel << R::other
                                     << u"Облако отказало: Keyover budget"_qs;
        QTest::newRow("402 monkey= is no Key=")
            << 402 << error("monkey=1") << nimbrel << R::other << u"Облако отказало: monkey=1"_qs;
        QTest::newRow("402 Лимит Ключа") << 402 << error("Лимит Ключа исчерпан") << nimbrel << R::deviceLimit << limit;
        QTest::newRow("402 БАЛАНС") << 402 << error("На БАЛАНСЕ пусто") << nimbrel << R::balance << topUp;
        QTest::newRow("402 Недостаточно средств")
            << 402 << error("Недостаточно средств") << nimbrel << R::balance << topUp;
        QTest::newRow("402 ExceededBudget")
            << 402 << error("ExceededBudget: User=42") << nimbrel << R::balance << topUp;
        QTest::newRow("402 key limit wins over balance")
            << 402 << error("баланс есть, лимит ключа исчерпан") << nimbrel << R::deviceLimit << limit;
        QTest::newRow("402 message not a string")
            << 402 << QByteArray(R"({"error":{"message":5}})") << nimbrel << R::balance << topUp;
        QTest::newRow("402 error is text")
            << 402 << QByteArray(R"({"error":"баланс"})") << nimbrel << R::balance << topUp;
        QTest::newRow("402 blank message") << 402 << error(" ") << nimbrel << R::balance << topUp;
        QTest::newRow("500 empty message")
            << 500 << error("") << nimbrel << R::other << u"Nimbrel Cloud ответил HTTP 500"_qs;
        QTest::newRow("413") << 413 << error("too big") << nimbrel << R::other
                             << u"запись слишком длинная для сервера"_qs;
        QTest::newRow("429 plain") << 429 << QByteArray("slow down") << nimbrel << R::other
                                   << u"сервер перегружен — повторите через минуту"_qs;
        QTest::newRow("429 message") << 429 << error("Подождите минуту") << nimbrel << R::other
                                     << u"Подождите минуту"_qs;
        QTest::newRow("404 without body")
            << 404 << QByteArray() << nimbrel << R::other << u"Nimbrel Cloud ответил HTTP 404"_qs;
        QTest::newRow("404 other service")
            << 404 << QByteArray() << u"Другой сервис"_qs << R::other << u"Другой сервис ответил HTTP 404"_qs;
        QTest::newRow("400 message") << 400 << error("bad audio") << nimbrel << R::other << u"bad audio"_qs;
        QTest::newRow("500 message") << 500 << error("Внутренняя ошибка") << nimbrel << R::other
                                     << u"Внутренняя ошибка"_qs;
        QTest::newRow("502 HTML") << 502 << QByteArray("<html>Bad Gateway</html>") << nimbrel << R::other
                                  << u"Nimbrel Cloud ответил HTTP 502"_qs;
        QTest::newRow("503 invalid UTF-8")
            << 503 << QByteArray("\xc3\x28") << nimbrel << R::other << u"Nimbrel Cloud ответил HTTP 503"_qs;
        QTest::newRow("no HTTP answer") << 0 << QByteArray() << nimbrel << R::other
                                        << u"Nimbrel Cloud ответил HTTP 0"_qs;
    }

    void explain()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, name);
        QFETCH(CloudRefusal, reason);
        QFETCH(QString, message);
        const auto explanation = RemoteTranscriber::explain(status, body, name);
        QCOMPARE(explanation.reason, reason);
        QCOMPARE(explanation.message, message);
    }

    void refusals_data()
    {
        QTest::addColumn<HttpServer::Response>("answer");
        QTest::addColumn<CloudRefusal>("reason");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logged");
        using R = CloudRefusal;
        const QByteArray html =
            "<html><head><title>502 Bad Gateway</title></head><body>" + QByteArray(1000, 'x') + "</body></html>";
        QTest::newRow("401 JSON") << framed(401, R"({"error":{"message":"bad key"}})", Framing::length) << R::other
                                  << u"облако не приняло ключ устройства — проверьте подписку"_qs
                                  << uR"({"error":{"message":"bad key"}})"_qs;
        QTest::newRow("402 HTML") << HttpServer::Response::text(402, "<h1>Payment</h1>", "text/html") << R::balance
                                  << u"Пополните баланс Nimbrel"_qs << u"<h1>Payment</h1>"_qs;
        QTest::newRow("402 empty") << HttpServer::Response::text(402, "") << R::balance
                                   << u"Пополните баланс Nimbrel"_qs << QString();
        QTest::newRow("402 plain text") << HttpServer::Response::text(402, "лимит ключа") << R::balance
                                        << u"Пополните баланс Nimbrel"_qs << u"лимит ключа"_qs;
        QTest::newRow("402 invalid UTF-8") << HttpServer::Response::text(402, "\xff\xfe") << R::balance
                                           << u"Пополните баланс Nimbrel"_qs << u"\uFFFD\uFFFD"_qs;
        QTest::newRow("402 balance, JSON")
            << framed(402, R"({"error":{"message":"Недостаточно средств"}})", Framing::length) << R::balance
            << u"Пополните баланс Nimbrel"_qs << uR"({"error":{"message":"Недостаточно средств"}})"_qs;
        QTest::newRow("402 device limit, chunked")
            << framed(402, R"({"error":{"message":"ExceededTokenBudget: Key=dev1"}})", Framing::chunked)
            << R::deviceLimit << u"Месячный лимит облака для этого устройства исчерпан"_qs
            << uR"({"error":{"message":"ExceededTokenBudget: Key=dev1"}})"_qs;
        QTest::newRow("402 other") << framed(402, R"({"error":{"message":"Что-то третье"}})", Framing::length)
                                   << R::other << u"Облако отказало: Что-то третье"_qs
                                   << uR"({"error":{"message":"Что-то третье"}})"_qs;
        QTest::newRow("403 plain") << HttpServer::Response::text(403, "Forbidden") << R::other
                                   << u"облако не приняло ключ устройства — проверьте подписку"_qs << u"Forbidden"_qs;
        QTest::newRow("404 HTML") << HttpServer::Response::text(404, "<html>Not Found</html>", "text/html") << R::other
                                  << u"Nimbrel Cloud ответил HTTP 404"_qs << u"<html>Not Found</html>"_qs;
        QTest::newRow("413") << HttpServer::Response::text(413, "") << R::other
                             << u"запись слишком длинная для сервера"_qs << QString();
        QTest::newRow("429 plain") << HttpServer::Response::text(429, "busy") << R::other
                                   << u"сервер перегружен — повторите через минуту"_qs << u"busy"_qs;
        QTest::newRow("500 JSON, dripped") << framed(500, R"({"error":{"message":"сломалось"}})", Framing::length, 4)
                                           << R::other << u"сломалось"_qs << uR"({"error":{"message":"сломалось"}})"_qs;
        QTest::newRow("502 long HTML") << HttpServer::Response::text(502, html, "text/html") << R::other
                                       << u"Nimbrel Cloud ответил HTTP 502"_qs << QString::fromUtf8(html.left(300));
        QTest::newRow("503 invalid UTF-8") << HttpServer::Response::text(503, "a\xc3(b") << R::other
                                           << u"Nimbrel Cloud ответил HTTP 503"_qs << u"a\uFFFD(b"_qs;
    }

    void refusals()
    {
        QFETCH(HttpServer::Response, answer);
        QFETCH(QString, message);
        QFETCH(QString, logged);
        const auto outcome = recognise(answer);
        const auto error = outcome.errorAs<CloudError>();
        QVERIFY(error);
        QCOMPARE(error->status(), answer.status);
        QCOMPARE(error->message(), message);
        QCOMPARE(error->description(), message);
        const QStringList log = logLines().mid(logLines().size() - 2);
        QVERIFY(log.value(0).contains(u"[INFO] Remote: HTTP %1 after "_qs.arg(answer.status)));
        QVERIFY2(log.value(1).endsWith(u"[INFO] Remote: error body '%1'"_qs.arg(logged)), qPrintable(log.value(1)));
    }

    void transferFailures_data()
    {
        QTest::addColumn<HttpServer::Response>("answer");
        HttpServer::Response reset;
        reset.generatedSize = 1 << 20;
        reset.cutAfter = 100'000;
        reset.reset = true;
        QTest::newRow("reset mid-body") << reset;
        HttpServer::Response refusalReset = reset;
        refusalReset.status = 402;
        QTest::newRow("reset in a refusal's body") << refusalReset;
        HttpServer::Response short_ = HttpServer::Response::text(200, "{\"text\":\"обрез");
        short_.announcedLength = 1000;
        QTest::newRow("fewer bytes than announced") << short_;
        HttpServer::Response closed = reset;
        closed.reset = false;
        QTest::newRow("closed mid-body") << closed;
    }

    void transferFailures()
    {
        QFETCH(HttpServer::Response, answer);
        const auto outcome = recognise(answer);
        QVERIFY(!outcome.value);
        const auto error = outcome.errorAs<NetworkError>();
        QVERIFY(error);
        QVERIFY(!outcome.errorAs<CloudError>());
        QVERIFY(!error->description().isEmpty());
    }

    void noServer()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        RemoteEndpoint gone = endpoint();
        gone.url.setPort(closed.serverPort());
        closed.close();
        const qsizetype before = logLines().size();
        const auto outcome = await(RemoteTranscriber::transcribe(tone(100), gone, u"auto"_qs, prompt));
        const auto error = outcome.errorAs<NetworkError>();
        QVERIFY(error);
        QCOMPARE(error->code(), QNetworkReply::ConnectionRefusedError);
        QCOMPARE(error->description(), u"сервер не принимает соединения"_qs);
        const QStringList log = logLines().mid(before);
        QCOMPARE(log.size(), 1); // the POST line, and no HTTP status
        QVERIFY(log[0].contains(u"Remote: POST "_qs));
    }

    void hugeAnswers()
    {
        HttpServer::Response huge;
        huge.generatedSize = 100 * 1024 * 1024;
        const auto text = recognise(huge);
        QVERIFY(!text.value);
        QCOMPARE(text.errorAs<DescribedError>()->description(), u"Nimbrel Cloud прислал слишком длинный ответ"_qs);
        QVERIFY(!text.errorAs<NetworkError>());

        huge.status = 502;
        huge.framing = Framing::chunked;
        const auto refusal = recognise(huge);
        const auto error = refusal.errorAs<CloudError>();
        QVERIFY(error);
        QCOMPARE(error->status(), 502);
        QCOMPARE(error->message(), u"Nimbrel Cloud ответил HTTP 502"_qs);
    }

    void cancelWhileWaiting()
    {
        HttpServer::Response late = HttpServer::Response::text(200, R"({"text":"поздно"})");
        late.delayMs = 60'000;
        server.enqueue(late);
        auto cancel = std::make_shared<CancelToken>();
        const auto connection = connect(&server, &HttpServer::requestReceived, cancel.get(), &CancelToken::cancel);
        const int abandoned = server.abandoned();
        const qsizetype before = logLines().size();
        const auto outcome = await(RemoteTranscriber::transcribe(tone(16000), endpoint(), u"auto"_qs, prompt, cancel));
        disconnect(connection);
        QVERIFY(outcome.errorAs<Cancelled>());
        QVERIFY(!outcome.errorAs<DescribedError>());
        QTRY_COMPARE(server.abandoned(), abandoned + 1);
        QCOMPARE(logLines().mid(before).size(), 1); // only the POST line
    }

    void cancelDuringSlowBody()
    {
        HttpServer::Response drip = framed(200, QByteArray(2000, 'a'), Framing::length, 1);
        drip.dripIntervalMs = 20;
        server.enqueue(drip);
        auto cancel = std::make_shared<CancelToken>();
        const auto connection = connect(&server, &HttpServer::requestReceived, this,
                                        [cancel] { QTimer::singleShot(200, cancel.get(), &CancelToken::cancel); });
        const auto outcome = await(RemoteTranscriber::transcribe(tone(16000), endpoint(), u"auto"_qs, prompt, cancel));
        disconnect(connection);
        QVERIFY(outcome.errorAs<Cancelled>());
    }

    void cancelBeforeStart()
    {
        auto cancel = std::make_shared<CancelToken>();
        cancel->cancel();
        cancel->cancel(); // a second cancel is harmless
        const qsizetype requests = server.requests().size();
        const auto outcome = await(RemoteTranscriber::transcribe(tone(100), endpoint(), u"auto"_qs, prompt, cancel));
        QVERIFY(outcome.errorAs<Cancelled>());
        QCOMPARE(server.requests().size(), requests);
    }

    void echoedSecretsStayOutOfLogAndMessage()
    {
        const QByteArray echo =
            "{\"error\":{\"message\":\"key " + key.toUtf8() + " with prompt " + prompt.toUtf8() + "\"}}";
        const auto outcome = recognise(framed(400, echo, Framing::length));
        const auto error = outcome.errorAs<CloudError>();
        QVERIFY(error);
        QVERIFY(!error->message().contains(key));
        QCOMPARE(error->message(), u"key … with prompt "_qs + prompt);
        QVERIFY(
            logLines().last().endsWith(u"Remote: error body '{\"error\":{\"message\":\"key … with prompt …\"}}'"_qs));
    }

    void credentialsInTheAddressAreNotLogged()
    {
        RemoteEndpoint withSecrets = endpoint();
        withSecrets.url.setUserInfo(u"user:pa55word"_qs);
        withSecrets.url.setQuery(u"token=t0ken"_qs);
        server.enqueue(HttpServer::Response::text(200, "ok"));
        const auto outcome = await(RemoteTranscriber::transcribe(tone(8000), withSecrets, u"auto"_qs, QString()));
        QVERIFY(outcome.value);
        QVERIFY(anyMatches(logLines(), uR"(\[INFO\] Remote: POST http://127\.0\.0\.1:%1/v1/audio/transcriptions )"
                                       uR"(model=gemini-3-5-transcribe, 0\.5s of audio$)"_qs.arg(server.port())));
    }

    void nimbrelEndpoint_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("keyText");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("authorization");
        QTest::newRow("host") << u"https://api.example.com"_qs << u"abc"_qs
                              << u"https://api.example.com/v1/audio/transcriptions"_qs << u"Bearer abc"_qs;
        QTest::newRow("trailing slash, padded key")
            << u"https://api.example.com/"_qs << u" \n abc\t\n"_qs
            << u"https://api.example.com/v1/audio/transcriptions"_qs << u"Bearer abc"_qs;
        QTest::newRow("path prefix and port")
            << u"http://127.0.0.1:8080/proxy/"_qs << QString()
            << u"http://127.0.0.1:8080/proxy/v1/audio/transcriptions"_qs << u"Bearer "_qs;
    }

    void nimbrelEndpoint()
    {
        QFETCH(QString, base);
        QFETCH(QString, keyText);
        QFETCH(QString, url);
        QFETCH(QString, authorization);
        const RemoteEndpoint e = RemoteEndpoint::nimbrel(QUrl(base), keyText);
        QCOMPARE(e.url.toString(), url);
        QCOMPARE(e.authorization, authorization);
        QCOMPARE(e.model, u"gemini-3-5-transcribe"_qs);
        QCOMPARE(e.name, u"Nimbrel Cloud"_qs);
    }

    // Last: everything above has written to the log by now.
    void logHoldsNoKeyPromptOrText()
    {
        const QString log = logLines().join(QLatin1Char('\n'));
        QVERIFY(log.contains(u"Remote: POST"_qs));
        QVERIFY(!log.contains(key));
        QVERIFY(!log.contains(u"ПодсказкаСекрет"_qs));
        QVERIFY(!log.contains(u"Термины"_qs));
        QVERIFY(!log.contains(u"pa55word"_qs) && !log.contains(u"t0ken"_qs));
        for (const QString &text : std::as_const(recognised))
            if (text.size() > 3)
                QVERIFY2(!log.contains(text), qPrintable(text));
    }
};

TALVANE_TEST_MAIN(RemoteTranscriberTest)
#include "RemoteTranscriberTest.moc"
