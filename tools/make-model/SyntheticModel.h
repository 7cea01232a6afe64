#pragma once

#include <cstdint>
#include <string>

// Writes a whisper model file in the ggml layout with random (seeded) weights and tiny
// dimensions. It loads and runs through the real whisper library in well under a second,
// which is all tests and benchmarks need: what it "recognises" is a random token.
namespace SyntheticModel {

struct Options
{
    std::uint32_t seed = 1;
    std::int32_t vocab = 51865; // 51865 and more is a multilingual model
    std::int32_t state = 64;    // n_audio_state = n_text_state
    std::int32_t layers = 1;    // n_audio_layer = n_text_layer
    std::int32_t heads = 2;
    std::int32_t audioCtx = 1500; // whisper's fixed 30 s window
    std::int32_t textCtx = 448;
    std::int32_t mels = 80;
};

// True when the dimensions make a model whisper can load.
bool valid(const Options &options);

// Writes the model to `path`; false (with nothing left behind) when it cannot be written.
bool write(const std::string &path, const Options &options);

} // namespace SyntheticModel
