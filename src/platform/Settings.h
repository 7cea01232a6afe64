#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <utility>
#include <vector>

// The user's persistent choices, kept in settings.json in the support folder. Loaded once
// by the dictation controller and saved whole after every change.
struct Settings
{
    QString model = QStringLiteral("large-v3-turbo");
    QString prompt = QStringLiteral("Nimbrel Cloud, Claude, ChatGPT, GitHub, Docker, Kubernetes, Python, "
                                    "TypeScript, React, PostgreSQL, API.");
    QString language = QStringLiteral("auto");
    QString modelsDir;
    bool autoPaste = true;
    bool cleanSpeech = true;
    QString engine = QStringLiteral("local");

    // Reads the file with defaults for missing keys, migrates files of version 3.3 and
    // rewrites them; never fails (a bad file gives the defaults and leaves the file alone).
    static Settings load();

    // Writes the whole record atomically; failures are logged, never thrown.
    void save() const;

    // Applies the 3.3 → 3.4 migration given the raw file it was decoded from; true when
    // the file must be rewritten.
    bool migrate(const QByteArray &data);

    // The download address of `model` on the public whisper.cpp model repository.
    QUrl modelURL() const;

    // The JSON text save() writes.
    QByteArray encoded() const;

    // Model name and size text, in menu order.
    static const std::vector<std::pair<QString, QString>> &availableModels();
    // The size text of a catalogue model, "?" for any other name.
    static QString sizeText(const QString &model);

    static QString path();

    bool operator==(const Settings &) const = default;
};
