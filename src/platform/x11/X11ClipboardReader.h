#pragma once

#include "platform/Clipboard.h"

#include <QByteArray>

#include <chrono>

// Reads the CLIPBOARD selection on an X connection of its own, so that an owner that is slow or never answers
// holds up neither Qt's connection nor the GUI thread. It blocks until everything is read or time is up: call it
// off the GUI thread.
namespace X11ClipboardReader {

// Every content type the owner offers, read at once: types with a MIME name ('/'), and the plain text under
// text/plain in UTF-8 (from UTF8_STRING first, as Qt reads it). Types larger than `byteLimit` are not read.
ClipboardSnapshot read(const QByteArray &display, std::chrono::milliseconds timeLimit, qint64 byteLimit);

} // namespace X11ClipboardReader
