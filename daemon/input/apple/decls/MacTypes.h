// SPDX-License-Identifier: MIT
// Declarations of the Apple basic types the macOS adapters use, for compiling them elsewhere.
// Sizes follow the 64-bit macOS SDK.
#pragma once

#include <stdint.h>

typedef unsigned char UInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;

typedef SInt16 OSErr;
typedef SInt32 OSStatus;
typedef unsigned char Boolean;

typedef UInt16 UniChar;
typedef unsigned long UniCharCount;

enum { noErr = 0 };
