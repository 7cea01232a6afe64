// An audio file goes the way the self-test takes it: read, then conditioned for recognition.
#include "Fuzz.h"

#include "audio/AudioRecorder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Formats with a signature are found by it; the extension lets the MP3 decoder try the rest.
    const QString path = Fuzz::inputFile(data, size, QStringLiteral("input.mp3"));
    LoadedAudio audio;
    try {
        audio = AudioRecorder::loadFile(path);
    } catch (const RecorderError &) {
        return 0;
    }
    const double seconds = double(audio.samples.size()) / audio.rate;
    AudioRecorder::process(std::move(audio.samples), audio.rate, seconds);
    return 0;
}
