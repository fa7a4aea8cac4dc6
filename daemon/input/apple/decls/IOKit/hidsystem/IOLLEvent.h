// SPDX-License-Identifier: MIT
// Declarations of the low-level event constants and data the macOS adapters use, for
// compiling them elsewhere against recording fakes.
#pragma once

#include <IOKit/graphics/IOGraphicsTypes.h>
#include <MacTypes.h>

#define NX_KEYDOWN 10
#define NX_KEYUP 11
#define NX_SYSDEFINED 14

#define NX_SUBTYPE_AUX_CONTROL_BUTTONS 8

#define kNXEventDataVersion 2

/// Event data, 48 bytes. Only the member for system-defined (compound) events is declared;
/// the mouse, key, scroll and tablet members overlay the same 48 bytes.
typedef union NXEventData {
    struct {
        SInt16 reserved;
        SInt16 subType; ///< event subtype for compound events
        union {
            float F[11];
            SInt32 L[11];
            SInt16 S[22];
            char C[44];
        } misc;
    } compound;
} NXEventData;
