#pragma once

#include "app/TalvaneApp.h"

// The real recorder, engines, cloud key file, paster (with the X11 clipboard) and capsule for
// the controller.
AppState::Collaborators desktopCollaborators();

// The program's real surroundings: desktopCollaborators(), the X11 hot keys, message-box
// alerts and launch at login for the running executable.
TalvaneApp::Environment desktopEnvironment();
