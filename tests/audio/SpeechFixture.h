#pragma once

#include "TestSupport.h"

// Russian speech made at test time with espeak-ng, converted with sox.
namespace SpeechFixture {

inline const QString phrase = QStringLiteral("Проверка распознавания речи, раз, два, три.");

// Runs a program to completion; false (with a warning) when it cannot be run or fails.
bool run(const QString &program, const QStringList &arguments);

// Writes the phrase as espeak-ng's own WAV (22050 Hz, mono, 16 bit) to `path`.
bool speak(const QString &path);

// Converts `source` with sox: `options` (rate, channels, encoding) before `target`, `effects` after it.
bool convert(const QString &source, const QString &target, const QStringList &options, const QStringList &effects = {});

// The phrase as the virtual microphone takes it (signed 16-bit, mono, 16 kHz), made in `folder`; empty on failure.
QByteArray microphonePcm(const QString &folder);

} // namespace SpeechFixture
