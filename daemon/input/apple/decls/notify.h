// SPDX-License-Identifier: MIT
// Declaration of the system notification call the macOS adapters make, for compiling them
// elsewhere against recording fakes.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NOTIFY_STATUS_OK 0

uint32_t notify_post(const char* name);

#ifdef __cplusplus
}
#endif
