#include "recognition/ModelFile.h"

#include <ggml.h>

#include <QFile>

#include <array>
#include <cstdint>
#include <fstream>
#include <set>
#include <string>

namespace ModelFile {
namespace {

constexpr std::uint32_t ggmlMagic = 0x67676d6c;
constexpr std::int32_t quantVersionFactor = 1000;
constexpr std::int32_t fftBins = 201;
// The sizes every published whisper model has and the library's code assumes: a 30 s
// window of 1500 encoder positions, 448 decoder positions, and a vocabulary whose
// special tokens (languages) the library can name.
constexpr std::int32_t audioContext = 1500;
constexpr std::int32_t textContext = 448;
constexpr std::int32_t smallestVocab = 51864;
constexpr std::int32_t largestVocab = 51866;
constexpr std::int32_t maxTokenBytes = 1024;
constexpr std::int32_t maxNameBytes = 256;
constexpr std::int32_t maxDims = 4;

struct Header
{
    std::int32_t vocab, audioCtx, audioState, audioHeads, audioLayers, textCtx, textState, textHeads, textLayers, mels,
        ftype;
};

// Reads through the file with every read checked against the file's size.
class Reader
{
public:
    explicit Reader(const QString &path)
        : in(QFile::encodeName(path).toStdString(), std::ios::binary),
          size(static_cast<std::uint64_t>(QFile(path).size()))
    {
    }
    bool isOpen() const { return in.is_open(); }
    std::uint64_t remaining() const { return size - position; }

    template <typename T> bool get(T &value)
    {
        if (remaining() < sizeof value)
            return false;
        in.read(reinterpret_cast<char *>(&value), sizeof value);
        position += sizeof value;
        return static_cast<bool>(in);
    }

    bool getBytes(std::string &bytes, std::uint64_t count)
    {
        if (remaining() < count)
            return false;
        bytes.resize(count);
        in.read(bytes.data(), static_cast<std::streamsize>(count));
        position += count;
        return static_cast<bool>(in);
    }

    bool skip(std::uint64_t count)
    {
        if (remaining() < count)
            return false;
        position += count;
        in.seekg(static_cast<std::streamoff>(position));
        return static_cast<bool>(in);
    }

private:
    std::ifstream in;
    std::uint64_t size;
    std::uint64_t position = 0;
};

bool within(std::int32_t value, std::int32_t low, std::int32_t high)
{
    return value >= low && value <= high;
}

// A weight type the library can size; removed and unknown types have no block size.
bool knownType(std::int32_t type)
{
    return within(type, 0, GGML_TYPE_COUNT - 1) && ggml_blck_size(static_cast<ggml_type>(type)) > 0 &&
           ggml_type_size(static_cast<ggml_type>(type)) > 0;
}

// The weight type of a file type, or -1: the library asserts on file types it does not know.
std::int32_t weightType(std::int32_t ftype)
{
    switch (ftype % quantVersionFactor) {
    case GGML_FTYPE_ALL_F32: return GGML_TYPE_F32;
    case GGML_FTYPE_MOSTLY_F16: return GGML_TYPE_F16;
    case GGML_FTYPE_MOSTLY_BF16: return GGML_TYPE_BF16;
    case GGML_FTYPE_MOSTLY_Q4_0: return GGML_TYPE_Q4_0;
    case GGML_FTYPE_MOSTLY_Q4_1: return GGML_TYPE_Q4_1;
    case GGML_FTYPE_MOSTLY_Q5_0: return GGML_TYPE_Q5_0;
    case GGML_FTYPE_MOSTLY_Q5_1: return GGML_TYPE_Q5_1;
    case GGML_FTYPE_MOSTLY_Q8_0: return GGML_TYPE_Q8_0;
    case GGML_FTYPE_MOSTLY_Q2_K: return GGML_TYPE_Q2_K;
    case GGML_FTYPE_MOSTLY_Q3_K: return GGML_TYPE_Q3_K;
    case GGML_FTYPE_MOSTLY_Q4_K: return GGML_TYPE_Q4_K;
    case GGML_FTYPE_MOSTLY_Q5_K: return GGML_TYPE_Q5_K;
    case GGML_FTYPE_MOSTLY_Q6_K: return GGML_TYPE_Q6_K;
    default: return -1;
    }
}

std::optional<QString> checkHeader(const Header &h)
{
    if (!within(h.vocab, smallestVocab, largestVocab))
        return QStringLiteral("vocabulary size %1 out of range").arg(h.vocab);
    if (h.audioCtx != audioContext || h.textCtx != textContext)
        return QStringLiteral("context sizes %1/%2 unsupported").arg(h.audioCtx).arg(h.textCtx);
    if (h.mels != 80 && h.mels != 128)
        return QStringLiteral("%1 mel bands unsupported").arg(h.mels);
    const std::int32_t wtype = weightType(h.ftype);
    if (h.ftype < 0 || wtype < 0)
        return QStringLiteral("file type %1 unknown").arg(h.ftype);
    if (h.audioState != h.textState || !within(h.audioState, 1, 8192) ||
        h.audioState % ggml_blck_size(static_cast<ggml_type>(wtype)) != 0)
        return QStringLiteral("state sizes %1/%2 unsupported").arg(h.audioState).arg(h.textState);
    if (!within(h.audioHeads, 1, 64) || !within(h.textHeads, 1, 64) || h.audioState % h.audioHeads != 0 ||
        h.textState % h.textHeads != 0)
        return QStringLiteral("head counts %1/%2 unsupported").arg(h.audioHeads).arg(h.textHeads);
    if (!within(h.audioLayers, 1, 64) || !within(h.textLayers, 1, 64))
        return QStringLiteral("layer counts %1/%2 unsupported").arg(h.audioLayers).arg(h.textLayers);
    return std::nullopt;
}

std::optional<QString> checkFiltersAndVocabulary(Reader &in, const Header &h)
{
    std::int32_t mels = 0, bins = 0;
    if (!in.get(mels) || !in.get(bins) || mels != h.mels || bins != fftBins)
        return QStringLiteral("mel filters do not match the header");
    if (!in.skip(std::uint64_t(mels) * bins * sizeof(float)))
        return QStringLiteral("file ends inside the mel filters");
    std::int32_t tokens = 0;
    if (!in.get(tokens) || !within(tokens, 1, h.vocab))
        return QStringLiteral("vocabulary count out of range");
    std::string token;
    for (std::int32_t i = 0; i < tokens; ++i) {
        std::uint32_t length = 0;
        if (!in.get(length) || length > maxTokenBytes || !in.getBytes(token, length))
            return QStringLiteral("vocabulary entry %1 damaged").arg(i);
    }
    return std::nullopt;
}

// One tensor record: header, name and data, all inside the file.
std::optional<QString> checkTensor(Reader &in, std::set<std::string> &names)
{
    std::int32_t dims = 0, nameLength = 0, type = 0;
    if (!in.get(dims) || !in.get(nameLength) || !in.get(type))
        return QStringLiteral("file ends inside a tensor header");
    if (!within(dims, 1, maxDims) || !within(nameLength, 1, maxNameBytes) || !knownType(type))
        return QStringLiteral("tensor header damaged");
    std::int64_t elements = 1;
    for (std::int32_t i = 0; i < dims; ++i) {
        std::int32_t extent = 0;
        if (!in.get(extent) || extent <= 0)
            return QStringLiteral("tensor dimensions damaged");
        elements *= extent;
        if (elements > INT32_MAX) // the library counts elements in 32 bits
            return QStringLiteral("tensor too large");
    }
    std::string name;
    if (!in.getBytes(name, static_cast<std::uint64_t>(nameLength)) || !names.insert(name).second)
        return QStringLiteral("tensor name damaged or repeated");
    const auto block = ggml_blck_size(static_cast<ggml_type>(type));
    if (elements % block != 0)
        return QStringLiteral("tensor '%1' does not fill its blocks").arg(QString::fromStdString(name));
    const std::uint64_t bytes = std::uint64_t(elements / block) * ggml_type_size(static_cast<ggml_type>(type));
    if (!in.skip(bytes))
        return QStringLiteral("file ends inside tensor '%1'").arg(QString::fromStdString(name));
    return std::nullopt;
}

} // namespace

std::optional<QString> problem(const QString &path)
{
    Reader in(path);
    if (!in.isOpen())
        return QStringLiteral("file cannot be opened");
    std::uint32_t magic = 0;
    if (!in.get(magic) || magic != ggmlMagic)
        return QStringLiteral("not a ggml model (bad magic)");
    Header h{};
    std::array<std::int32_t *, 11> fields = {&h.vocab,       &h.audioCtx, &h.audioState, &h.audioHeads,
                                             &h.audioLayers, &h.textCtx,  &h.textState,  &h.textHeads,
                                             &h.textLayers,  &h.mels,     &h.ftype};
    for (std::int32_t *field : fields)
        if (!in.get(*field))
            return QStringLiteral("file ends inside the header");
    if (auto bad = checkHeader(h))
        return bad;
    if (auto bad = checkFiltersAndVocabulary(in, h))
        return bad;
    const std::int64_t expected = 11 + 15 * std::int64_t(h.audioLayers) + 24 * std::int64_t(h.textLayers);
    std::set<std::string> names;
    while (in.remaining() > 0 && std::int64_t(names.size()) < expected)
        if (auto bad = checkTensor(in, names))
            return bad;
    if (std::int64_t(names.size()) != expected)
        return QStringLiteral("%1 of %2 tensors present").arg(names.size()).arg(expected);
    if (in.remaining() > 0)
        return QStringLiteral("unexpected data after the last tensor");
    return std::nullopt;
}

} // namespace ModelFile
