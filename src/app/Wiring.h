#pragma once

#include "app/TalvaneApp.h"

// The program's real surroundings: the recorder, engines, paster, overlay and desktop
// services behind the controller's ports, and the X11 hot keys.
TalvaneApp::Environment desktopEnvironment();
