// SPDX-License-Identifier: MIT
// Declarations of the I/O Kit service calls the macOS adapters make, for compiling them
// elsewhere against recording fakes. (The SDK declares the object types in IOKit/IOTypes.h,
// which this header includes there.)
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <mach/mach.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_connect_t;
typedef UInt32 IOOptionBits;

#define IO_OBJECT_NULL ((io_object_t)0)

/// The default main port; the same as MACH_PORT_NULL.
extern const mach_port_t kIOMainPortDefault;

/// Returns a matching dictionary with one reference, for the caller to hand on.
CFMutableDictionaryRef IOServiceMatching(const char* name);
/// Consumes one reference to `matching`; returns the first match, or IO_OBJECT_NULL.
io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching);
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect);
kern_return_t IOObjectRelease(io_object_t object);

#ifdef __cplusplus
}
#endif
