#pragma once

#include <QByteArray>
#include <QString>

// Where speech is recognised: on this computer or in the cloud ("local" and "cloud" in
// settings.json).
enum class Engine { local, cloud };

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
    Engine engine = Engine::local;
    // The dictation hot key as Hotkey::parse() reads it; one that does not parse is kept as written, and the
    // program uses the default instead.
    QString hotkey = QStringLiteral("Alt+Space");
    bool useGpu = true; // local recognition on the graphics card when there is one

    // Reads the file with defaults for missing keys, migrates files of version 3.3 and
    // rewrites them; never fails (a bad file gives the defaults and leaves the file alone).
    static Settings load();

    // Writes the whole record atomically; failures are logged, never thrown.
    void save() const;

    // Whether the raw file needs the 3.3 → 3.4 migration (a recognition that is gone, the
    // fields of 3.3), which decoding has applied already: true when it must be rewritten.
    static bool migrate(const QByteArray &data);

    // The JSON text save() writes.
    QByteArray encoded() const;

    static QString path();
    // The name of `engine` in settings.json and the log.
    static QString engineName(Engine engine);

    bool operator==(const Settings &) const = default;
};
