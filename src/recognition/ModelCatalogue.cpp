#include "recognition/ModelCatalogue.h"

namespace ModelCatalogue {

const std::vector<std::pair<QString, QString>> &models()
{
    static const std::vector<std::pair<QString, QString>> catalogue = {
        {QStringLiteral("tiny"), QStringLiteral("75 МБ")},
        {QStringLiteral("base"), QStringLiteral("142 МБ")},
        {QStringLiteral("small"), QStringLiteral("466 МБ")},
        {QStringLiteral("medium"), QStringLiteral("1,5 ГБ")},
        {QStringLiteral("large-v3"), QStringLiteral("2,9 ГБ")},
        {QStringLiteral("large-v3-turbo"), QStringLiteral("1,6 ГБ")},
    };
    return catalogue;
}

QString sizeText(const QString &model)
{
    for (const auto &[name, size] : models())
        if (name == model)
            return size;
    return QStringLiteral("?");
}

QUrl downloadUrl(const QString &model)
{
    return QUrl(QStringLiteral("https://huggingface.co/ggerganov/whisper.cpp/resolve/main/ggml-") + model +
                QStringLiteral(".bin"));
}

} // namespace ModelCatalogue
