#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The desktop's choice of application for a kind of file, read as every Linux desktop writes it: the default in
// mimeapps.list (the user's, then the system's), else any installed application that declares the type
// (mimeinfo.cache). Used where the file's own type would pick the wrong program: settings.json is edited as plain
// text, while a browser may claim JSON.
namespace DesktopApps {

// The command line (program first) that opens `file` with the default application for `mimeType`; nothing when
// no installed application takes that type.
std::optional<QStringList> commandFor(const QString &mimeType, const QString &file);

// The arguments of a desktop entry's Exec value with its field codes filled in for `file` (the file is appended
// when the entry names no place for it); empty when the value cannot be read.
QStringList expandExec(const QString &exec, const QString &file, const QString &icon = {}, const QString &name = {});

// Undoes the escapes of a desktop entry's string values (\s \n \t \r \\).
QString unescapeValue(const QString &value);

} // namespace DesktopApps
