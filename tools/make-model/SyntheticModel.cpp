#include "SyntheticModel.h"

#include <ggml.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <vector>

namespace SyntheticModel {
namespace {

constexpr std::uint32_t magic = 0x67676d6c; // "ggml"
constexpr std::int32_t ftypeF16 = 1;
constexpr std::int32_t fftBins = 201;
constexpr std::int32_t multilingualVocab = 51865;
// Text tokens stored in the file; whisper adds the special ones (language, task,
// timestamps) itself up to n_vocab.
constexpr std::int32_t multilingualTextTokens = 50257;
constexpr std::int32_t englishTextTokens = 50256;

class Writer
{
public:
    Writer(std::ofstream &out, std::uint32_t seed) : out(out), random(seed) {}

    template <typename T> void put(T value) { out.write(reinterpret_cast<const char *>(&value), sizeof value); }
    void putBytes(const std::string &bytes) { out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())); }

    // Uniform in [-scale, scale]; derived from the raw generator output so that a seed
    // gives the same file with every standard library.
    float uniform(float scale) { return (static_cast<float>(random()) / 4294967295.0f * 2.0f - 1.0f) * scale; }

    void tensor(const std::string &name, std::vector<std::int32_t> dims, bool half, float scale, float offset = 0)
    {
        put<std::int32_t>(static_cast<std::int32_t>(dims.size()));
        put<std::int32_t>(static_cast<std::int32_t>(name.size()));
        put<std::int32_t>(half ? GGML_TYPE_F16 : GGML_TYPE_F32);
        std::int64_t count = 1;
        for (std::int32_t d : dims) {
            put<std::int32_t>(d);
            count *= d;
        }
        putBytes(name);
        std::vector<float> values(static_cast<std::size_t>(count));
        for (float &v : values)
            v = offset + uniform(scale);
        if (!half) {
            out.write(reinterpret_cast<const char *>(values.data()),
                      static_cast<std::streamsize>(count * sizeof(float)));
            return;
        }
        std::vector<ggml_fp16_t> halves(values.size());
        ggml_fp32_to_fp16_row(values.data(), halves.data(), count);
        out.write(reinterpret_cast<const char *>(halves.data()),
                  static_cast<std::streamsize>(count * sizeof(ggml_fp16_t)));
    }

private:
    std::ofstream &out;
    std::mt19937 random;
};

// Readable token texts (Cyrillic syllables, every other one with a leading space), so
// that a transcript of the random model is plain UTF-8 text. The decoder looks up the
// lone space token by its text, as in the real vocabulary (where it has id 220).
std::string tokenText(std::int32_t id)
{
    if (id == 220)
        return " ";
    static const char *const syllables[] = {"ба", "ве", "ги", "до", "жу", "за", "ки", "ло", "му", "на",
                                            "пе", "ри", "со", "ту", "фа", "хе", "ци", "чо", "шу", "ям"};
    constexpr std::int32_t n = sizeof syllables / sizeof *syllables;
    std::string text = id % 2 == 0 ? " " : "";
    text += syllables[(id / 2) % n];
    text += syllables[(id / 2 / n) % n];
    return text;
}

void writeHeader(Writer &w, const Options &o)
{
    w.put(magic);
    for (std::int32_t v :
         {o.vocab, o.audioCtx, o.state, o.heads, o.layers, o.textCtx, o.state, o.heads, o.layers, o.mels, ftypeF16})
        w.put(v);
    w.put(o.mels);
    w.put(fftBins);
    for (std::int32_t i = 0; i < o.mels * fftBins; ++i)
        w.put(0.01f + w.uniform(0.01f));
    const std::int32_t textTokens =
        std::min(o.vocab, o.vocab >= multilingualVocab ? multilingualTextTokens : englishTextTokens);
    w.put(textTokens);
    for (std::int32_t id = 0; id < textTokens; ++id) {
        const std::string text = tokenText(id);
        w.put(static_cast<std::uint32_t>(text.size()));
        w.putBytes(text);
    }
}

// Layer norm weights near 1, everything else small.
void writeNorm(Writer &w, const std::string &prefix, std::int32_t n)
{
    w.tensor(prefix + ".weight", {n}, false, 0.1f, 1.0f);
    w.tensor(prefix + ".bias", {n}, false, 0.1f);
}

void writeAttention(Writer &w, const std::string &prefix, std::int32_t n, float scale)
{
    w.tensor(prefix + ".query.weight", {n, n}, true, scale);
    w.tensor(prefix + ".query.bias", {n}, false, scale);
    w.tensor(prefix + ".key.weight", {n, n}, true, scale);
    w.tensor(prefix + ".value.weight", {n, n}, true, scale);
    w.tensor(prefix + ".value.bias", {n}, false, scale);
    w.tensor(prefix + ".out.weight", {n, n}, true, scale);
    w.tensor(prefix + ".out.bias", {n}, false, scale);
}

void writeMlp(Writer &w, const std::string &prefix, std::int32_t n, float scale)
{
    writeNorm(w, prefix + ".mlp_ln", n);
    w.tensor(prefix + ".mlp.0.weight", {n, 4 * n}, true, scale);
    w.tensor(prefix + ".mlp.0.bias", {4 * n}, false, scale);
    w.tensor(prefix + ".mlp.2.weight", {4 * n, n}, true, scale);
    w.tensor(prefix + ".mlp.2.bias", {n}, false, scale);
}

void writeTensors(Writer &w, const Options &o)
{
    const std::int32_t n = o.state;
    const float scale = 0.1f;
    w.tensor("encoder.positional_embedding", {n, o.audioCtx}, false, scale);
    w.tensor("encoder.conv1.weight", {3, o.mels, n}, true, scale);
    w.tensor("encoder.conv1.bias", {1, n}, false, scale);
    w.tensor("encoder.conv2.weight", {3, n, n}, true, scale);
    w.tensor("encoder.conv2.bias", {1, n}, false, scale);
    writeNorm(w, "encoder.ln_post", n);
    for (std::int32_t i = 0; i < o.layers; ++i) {
        const std::string block = "encoder.blocks." + std::to_string(i);
        writeMlp(w, block, n, scale);
        writeNorm(w, block + ".attn_ln", n);
        writeAttention(w, block + ".attn", n, scale);
    }
    w.tensor("decoder.positional_embedding", {n, o.textCtx}, false, scale);
    w.tensor("decoder.token_embedding.weight", {n, o.vocab}, true, scale);
    writeNorm(w, "decoder.ln", n);
    for (std::int32_t i = 0; i < o.layers; ++i) {
        const std::string block = "decoder.blocks." + std::to_string(i);
        writeMlp(w, block, n, scale);
        writeNorm(w, block + ".attn_ln", n);
        writeAttention(w, block + ".attn", n, scale);
        writeNorm(w, block + ".cross_attn_ln", n);
        writeAttention(w, block + ".cross_attn", n, scale);
    }
}

} // namespace

bool valid(const Options &o)
{
    return o.vocab > 0 && o.vocab <= 1'000'000 && o.layers > 0 && o.layers <= 64 && o.heads > 0 && o.state > 0 &&
           o.state <= 4096 && o.state % o.heads == 0 && o.audioCtx > 0 && o.textCtx > 0 && o.mels > 0;
}

bool write(const std::string &path, const Options &options)
{
    if (!valid(options))
        return false;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (out) {
            Writer w(out, options.seed);
            writeHeader(w, options);
            writeTensors(w, options);
            out.close();
            if (out)
                return true;
        }
    }
    std::remove(path.c_str());
    return false;
}

} // namespace SyntheticModel
