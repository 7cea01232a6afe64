#pragma once

#include "dictation/AppState.h"

#include <QColor>
#include <QIcon>
#include <optional>

// The tray icon for each controller state: a symbol drawn by us, in the state's tint.
namespace TrayIcons {

// The tint of `state`; nothing for the plain (untinted) states.
std::optional<QColor> tint(RecordingState state);

// The plain colour of untinted symbols: light, for the dark panel look.
QColor plainColour();
// The rim drawn around every symbol, so that it reads on a light panel too.
QColor outlineColour();

QIcon icon(RecordingState state);

} // namespace TrayIcons
