// SPDX-License-Identifier: MIT
// Declaration of the HID system event call the macOS adapters make, for compiling them
// elsewhere against recording fakes.
#pragma once

#include <IOKit/IOKitLib.h>
#include <IOKit/hidsystem/IOHIDShared.h>

#ifdef __cplusplus
extern "C" {
#endif

kern_return_t IOHIDPostEvent(io_connect_t connect, UInt32 eventType, IOGPoint location,
                             const NXEventData* eventData, UInt32 eventDataVersion,
                             IOOptionBits eventFlags, IOOptionBits options);

#ifdef __cplusplus
}
#endif
