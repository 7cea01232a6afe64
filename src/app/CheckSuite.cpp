#include "app/CheckSuite.h"

#include "audio/AudioRecorder.h"
#include "platform/Paths.h"
#include "platform/Settings.h"
#include "recognition/TranscriptionEngine.h"

#include <QAudioDevice>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMediaDevices>
#include <QTemporaryFile>


#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <vector>

namespace CheckSuite {
namespace {

struct Check
{
    const char *name;
    std::function<bool()> passes;
};

bool conditioningWorks()
{
    std::vector<float> tone(48000);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * i / 48000.0));
    const Take take = AudioRecorder::process(std::move(tone), 48000, 1.0);
    if (take.kind != Take::Kind::audio || take.samples.size() != 16000)
        return false;
    float peak = 0;
    for (float s : take.samples)
        peak = std::max(peak, std::fabs(s));
    return std::fabs(peak - AudioRecorder::targetPeak) < 0.01f;
}

bool silenceIsRejected()
{
    std::vector<float> hum(48000);
    for (size_t i = 0; i < hum.size(); ++i)
        hum[i] = 0.001f * static_cast<float>(std::sin(i * 0.1));
    return AudioRecorder::process(std::move(hum), 48000, 1.0).kind == Take::Kind::silence;
}

bool noiseMarkersAreRemoved()
{
    const TranscriptionEngine::Segment segments[] = {{" Привет,", 0.1f}, {"[BLANK_AUDIO]", 0.2f}, {" мир.", 0.3f}};
    return TranscriptionEngine::textOf(segments) == QStringLiteral("Привет, мир.");
}

bool settingsEncode()
{
    const QJsonDocument json = QJsonDocument::fromJson(Settings{}.encoded());
    return json.isObject() && json.object().size() == 9;
}

bool supportFolderIsWritable()
{
    QTemporaryFile probe(QString::fromStdString((Paths::supportDir() / "check-XXXXXX").string()));
    return probe.open() && probe.write("ok", 2) == 2;
}

bool whisperRunsHere()
{
    return TranscriptionEngine::loadModules();
}

} // namespace

int run()
{
    const Check checks[] = {
        {"audio conditioning", conditioningWorks},   {"silence guard", silenceIsRejected},
        {"noise markers", noiseMarkersAreRemoved},   {"settings file", settingsEncode},
        {"support folder", supportFolderIsWritable}, {"whisper library", whisperRunsHere},
    };
    int passed = 0;
    for (const Check &check : checks) {
        const bool ok = check.passes();
        passed += ok;
        std::printf("%s: %s\n", check.name, ok ? "ok" : "FAILED");
    }
    const QAudioDevice input = QMediaDevices::defaultAudioInput();
    std::printf("audio input: %s\n", input.isNull() ? "none" : input.description().toUtf8().constData());
    const int total = static_cast<int>(std::size(checks));
    std::printf("%d of %d checks passed\n", passed, total);
    std::fflush(stdout);
    return passed == total ? 0 : 1;
}

} // namespace CheckSuite
