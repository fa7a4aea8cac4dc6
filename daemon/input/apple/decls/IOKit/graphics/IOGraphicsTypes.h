// SPDX-License-Identifier: MIT
// Declaration of the one I/O Kit graphics type the macOS adapters use, for compiling them
// elsewhere against recording fakes.
#pragma once

#include <MacTypes.h>

struct IOGPoint {
    SInt16 x;
    SInt16 y;
};
typedef struct IOGPoint IOGPoint;
