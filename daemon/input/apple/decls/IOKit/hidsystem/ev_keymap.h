// SPDX-License-Identifier: MIT
// Declarations of the auxiliary control-button key types the macOS adapters post, for
// compiling them elsewhere against recording fakes.
#pragma once

#define NX_KEYTYPE_SOUND_UP 0
#define NX_KEYTYPE_SOUND_DOWN 1
#define NX_KEYTYPE_BRIGHTNESS_UP 2
#define NX_KEYTYPE_BRIGHTNESS_DOWN 3
#define NX_KEYTYPE_MUTE 7
#define NX_KEYTYPE_PLAY 16
#define NX_KEYTYPE_FAST 19
#define NX_KEYTYPE_REWIND 20
