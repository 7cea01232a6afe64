#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// What every harness shares: a private support folder (settings, cloud key and log land
// there, never in the user's) and a way to hand the input to code that reads files.
namespace Fuzz {

// Ends the run as a crash with `message`, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char *message)
{
    std::fprintf(stderr, "fuzz: %s\n", message);
    std::abort();
}

// A temporary folder that is also the support folder's parent: call it before anything
// asks for the support folder, which is chosen once.
inline const QTemporaryDir &scratch()
{
    static const QTemporaryDir dir;
    static const bool ready = [] {
        if (!dir.isValid())
            fail("no temporary folder");
        qputenv("XDG_DATA_HOME", dir.path().toUtf8());
        return true;
    }();
    (void)ready;
    return dir;
}

inline void write(const QString &path, const std::uint8_t *data, std::size_t size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        fail("cannot write the input file");
}

// Writes the input to `name` in the scratch folder and returns its path.
inline QString inputFile(const std::uint8_t *data, std::size_t size, const QString &name)
{
    const QString path = scratch().filePath(name);
    write(path, data, size);
    return path;
}

} // namespace Fuzz
