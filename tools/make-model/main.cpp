// talvane-make-model: writes a synthetic whisper model (random seeded weights, tiny
// dimensions) for tests and benchmarks.
#include "SyntheticModel.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: talvane-make-model <out.bin> [--seed N] [--vocab N] [--state N] [--layers N]\n");
    return 2;
}

template <typename T> bool parse(const char *text, T &value)
{
    const char *end = text + std::strlen(text);
    auto [ptr, error] = std::from_chars(text, end, value);
    return error == std::errc() && ptr == end;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argv[1][0] == '-')
        return usage();
    SyntheticModel::Options options;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc)
            return usage();
        const std::string flag = argv[i];
        const char *value = argv[i + 1];
        bool ok = false;
        if (flag == "--seed")
            ok = parse(value, options.seed);
        else if (flag == "--vocab")
            ok = parse(value, options.vocab);
        else if (flag == "--state")
            ok = parse(value, options.state);
        else if (flag == "--layers")
            ok = parse(value, options.layers);
        if (!ok)
            return usage();
    }
    if (!SyntheticModel::valid(options)) {
        std::fprintf(stderr, "talvane-make-model: these dimensions make no loadable model\n");
        return 2;
    }
    if (!SyntheticModel::write(argv[1], options)) {
        std::fprintf(stderr, "talvane-make-model: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
