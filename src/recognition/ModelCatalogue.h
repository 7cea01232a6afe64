#pragma once

#include <QString>
#include <QUrl>

#include <utility>
#include <vector>

// The whisper models offered in the menu and where a model file is downloaded from.
namespace ModelCatalogue {

// Model name and size text, in menu order.
const std::vector<std::pair<QString, QString>> &models();
// The size text of a catalogue model, "?" for any other name.
QString sizeText(const QString &model);
// The address of `model`'s file on the public whisper.cpp model repository.
QUrl downloadUrl(const QString &model);

} // namespace ModelCatalogue
