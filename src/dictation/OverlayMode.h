#pragma once

// What the floating capsule shows: the input level while recording, a spinner while the
// speech is recognised.
enum class OverlayMode { recording, transcribing };
