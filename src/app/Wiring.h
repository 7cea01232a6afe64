#pragma once

#include "app/TalvaneApp.h"

// The real recorder, engines, cloud key file, cleaner, paster, capsule and clipboard behind
// the controller's ports. The paster works on the X11 desktop (set up on first use).
AppState::Collaborators desktopCollaborators();

// The program's real surroundings: desktopCollaborators(), the X11 hot keys, message-box
// alerts and launch at login for the running executable.
TalvaneApp::Environment desktopEnvironment();
