// SPDX-License-Identifier: MIT
// Declarations of the Mach types and task port the macOS adapters use, for compiling them
// elsewhere against recording fakes.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int natural_t;
typedef natural_t mach_port_t;
typedef mach_port_t task_t;
typedef task_t task_port_t;
typedef int kern_return_t;

#define KERN_SUCCESS 0
#define MACH_PORT_NULL 0

extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_

#ifdef __cplusplus
}
#endif
