#pragma once

#include <QString>

#include <optional>

// Checks a whisper model file (ggml layout) before the whisper library reads it: the
// library aborts the whole process on some malformed files and accepts some truncated
// ones, leaving weights uninitialised.
namespace ModelFile {

// Why the file at `path` cannot be handed to whisper (an English sentence for the log),
// or nothing when it is a complete model of a shape whisper handles.
std::optional<QString> problem(const QString &path);

} // namespace ModelFile
