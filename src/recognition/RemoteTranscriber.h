#pragma once

#include "recognition/CloudError.h"
#include "recognition/Network.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>
#include <qcorotask.h>

#include <memory>
#include <span>
#include <vector>

// Where and as whom a cloud recognition is asked for.
struct RemoteEndpoint
{
    QUrl url;              // the recognition address, …/v1/audio/transcriptions
    QString authorization; // the whole Authorization header value, "Bearer <key>"
    QString model;         // the recognition model asked for
    QString name;          // the service's display name, used in messages

    // The Nimbrel Cloud recogniser under `serviceUrl` (its base address) with the device key.
    static RemoteEndpoint nimbrel(const QUrl &serviceUrl, const QString &key);
};

// What the dictation controller needs of the cloud recogniser; tests drive it with a double.
class CloudRecognizer
{
public:
    virtual ~CloudRecognizer() = default;
    // Throws CloudError for a refusal, Cancelled after cancel(), DescribedError otherwise.
    virtual QCoro::Task<QString> transcribe(std::vector<float> samples, RemoteEndpoint endpoint, QString language,
                                            QString prompt) = 0;
    virtual void cancel() = 0;
};

// The cloud recogniser client: uploads one take as a 16 kHz WAV in a multipart/form-data
// POST and returns the recognised text. Stateless; runs on the GUI thread.
namespace RemoteTranscriber {

struct Explanation
{
    CloudRefusal reason;
    QString message;
};

inline constexpr int timeoutMs = 180'000;

// Recognises `samples` (16 kHz mono). `language` "auto" leaves the choice to the server;
// a blank `prompt` is left out. Returns the text on one line, trimmed. Throws CloudError
// when the server refuses, NetworkError when the transfer fails, Cancelled after
// `cancel` fired.
QCoro::Task<QString> transcribe(std::vector<float> samples, RemoteEndpoint endpoint, QString language, QString prompt,
                                std::shared_ptr<CancelToken> cancel = {});

// 16-bit PCM mono 16 kHz WAV: a 44-byte header and the samples.
QByteArray wav(std::span<const float> samples);

// "Talvane-" and a fresh upper-case UUID.
QByteArray newBoundary();

// The whole upload body: the WAV file part, then model, response_format and, when given,
// language and prompt.
QByteArray body(const QByteArray &boundary, std::span<const float> samples, const QString &model,
                const QString &language, const QString &prompt);

// The POST request for `endpoint` carrying a body with `boundary`.
QNetworkRequest request(const RemoteEndpoint &endpoint, const QByteArray &boundary);

// What an answer with `status` and `body` from the service called `name` means: for a
// success the recognised text on one line, trimmed; anything else throws CloudError.
QString answer(int status, const QByteArray &body, const QString &name);

// The user's message for a refusal with `status` and the answer `body`, from the
// service called `name`.
Explanation explain(int status, const QByteArray &body, const QString &name);

// The controller's cloud recogniser: one recognition at a time, which cancel() abandons.
class Client final : public CloudRecognizer
{
public:
    QCoro::Task<QString> transcribe(std::vector<float> samples, RemoteEndpoint endpoint, QString language,
                                    QString prompt) override;
    void cancel() override;

private:
    std::shared_ptr<CancelToken> token;
};

} // namespace RemoteTranscriber
