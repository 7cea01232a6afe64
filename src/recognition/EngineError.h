#pragma once

#include "platform/Errors.h"

// Errors of the local engine and of the model download.
class EngineError : public DescribedError
{
public:
    enum class Kind { loadFailed, transcriptionFailed, downloadFailed, notLoaded };

    // The model file (its last path component) could not be loaded.
    static EngineError loadFailed(const QString &fileName)
    {
        return {Kind::loadFailed, QStringLiteral("не удалось загрузить ") + fileName};
    }
    static EngineError transcriptionFailed(int code)
    {
        return {Kind::transcriptionFailed, QStringLiteral("whisper вернул код ") + QString::number(code)};
    }
    static EngineError downloadFailed(int status)
    {
        return {Kind::downloadFailed, QStringLiteral("сервер ответил HTTP ") + QString::number(status)};
    }
    static EngineError notLoaded() { return {Kind::notLoaded, QStringLiteral("модель не загружена")}; }

    Kind kind() const { return which; }

private:
    EngineError(Kind kind, QString description)
        : DescribedError(std::move(description)), which(kind)
    {
    }
    Kind which;
};
