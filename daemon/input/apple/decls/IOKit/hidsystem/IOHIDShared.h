// SPDX-License-Identifier: MIT
// Declarations of the HID system service names the macOS adapters use, for compiling them
// elsewhere against recording fakes.
#pragma once

#include <IOKit/IOKitLib.h>
#include <IOKit/graphics/IOGraphicsTypes.h>
#include <IOKit/hidsystem/IOLLEvent.h>

#define kIOHIDSystemClass "IOHIDSystem"

enum {
    kIOHIDServerConnectType = 0,
    kIOHIDParamConnectType = 1,
};
