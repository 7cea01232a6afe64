// The model check guards whisper's loader, which aborts the process on some malformed
// files: whatever the check accepts goes on to whisper, which must load it or refuse it.
#include "Fuzz.h"

#include "recognition/ModelFile.h"
#include "recognition/TranscriptionEngine.h"

#include <whisper.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString path = Fuzz::inputFile(data, size, QStringLiteral("ggml-fuzz.bin"));
    if (ModelFile::problem(path) || !TranscriptionEngine::loadModules())
        return 0;
    whisper_log_set([](ggml_log_level, const char *, void *) {}, nullptr);
    if (whisper_context *context =
            whisper_init_from_file_with_params(QFile::encodeName(path).constData(), whisper_context_default_params()))
        whisper_free(context);
    return 0;
}
