#pragma once

#include <QString>

enum class RecordingState { loading, idle, recording, transcribing, error };

// The name of a state as log lines write it ("idle", "recording", …).
QString caseName(RecordingState state);
