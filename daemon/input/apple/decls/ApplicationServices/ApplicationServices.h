// SPDX-License-Identifier: MIT
// Declarations of the Quartz Event Services, Accessibility and Process Manager calls the
// macOS adapters make, for compiling them elsewhere against recording fakes. Typed enums
// mirror how the SDK declares them for C++, so conversions are checked the same way.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <MacTypes.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- Core Graphics geometry and events ----

typedef double CGFloat;

struct CGPoint {
    CGFloat x;
    CGFloat y;
};
typedef struct CGPoint CGPoint;

struct CGSize {
    CGFloat width;
    CGFloat height;
};
typedef struct CGSize CGSize;

enum CGError : int32_t { kCGErrorSuccess = 0 };

typedef struct __CGEvent* CGEventRef;
typedef struct __CGEventSource* CGEventSourceRef;

enum CGEventSourceStateID : int32_t {
    kCGEventSourceStatePrivate = -1,
    kCGEventSourceStateCombinedSessionState = 0,
    kCGEventSourceStateHIDSystemState = 1,
};

enum CGEventTapLocation : uint32_t {
    kCGHIDEventTap = 0,
    kCGSessionEventTap = 1,
    kCGAnnotatedSessionEventTap = 2,
};

enum CGEventType : uint32_t {
    kCGEventNull = 0,
    kCGEventLeftMouseDown = 1,
    kCGEventLeftMouseUp = 2,
    kCGEventRightMouseDown = 3,
    kCGEventRightMouseUp = 4,
    kCGEventMouseMoved = 5,
    kCGEventLeftMouseDragged = 6,
    kCGEventRightMouseDragged = 7,
};

enum CGMouseButton : uint32_t {
    kCGMouseButtonLeft = 0,
    kCGMouseButtonRight = 1,
    kCGMouseButtonCenter = 2,
};

enum CGScrollEventUnit : uint32_t {
    kCGScrollEventUnitPixel = 0,
    kCGScrollEventUnitLine = 1,
};

enum CGEventField : uint32_t {
    kCGMouseEventClickState = 1,
    kCGScrollWheelEventIsContinuous = 88,
    kCGScrollWheelEventFixedPtDeltaAxis1 = 93,
    kCGScrollWheelEventFixedPtDeltaAxis2 = 94,
};

typedef uint64_t CGEventFlags;
enum : uint64_t {
    kCGEventFlagMaskShift = 0x00020000,
    kCGEventFlagMaskControl = 0x00040000,
    kCGEventFlagMaskAlternate = 0x00080000,
    kCGEventFlagMaskCommand = 0x00100000,
    kCGEventFlagMaskSecondaryFn = 0x00800000,
};

typedef uint16_t CGKeyCode;

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID stateID);

CGEventRef CGEventCreate(CGEventSourceRef source);
CGPoint CGEventGetLocation(CGEventRef event);
CGError CGWarpMouseCursorPosition(CGPoint newCursorPosition);

CGEventRef CGEventCreateMouseEvent(CGEventSourceRef source, CGEventType mouseType,
                                   CGPoint mouseCursorPosition, CGMouseButton mouseButton);
/// Takes `wheelCount` wheel deltas as int32_t: `wheel1` and then the rest.
CGEventRef CGEventCreateScrollWheelEvent(CGEventSourceRef source, CGScrollEventUnit units,
                                         uint32_t wheelCount, int32_t wheel1, ...);
CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown);

void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value);
void CGEventSetDoubleValueField(CGEventRef event, CGEventField field, double value);
void CGEventSetFlags(CGEventRef event, CGEventFlags flags);
void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount stringLength,
                                     const UniChar* unicodeString);

void CGEventPost(CGEventTapLocation tap, CGEventRef event);

// ---- Accessibility ----

typedef const struct __AXUIElement* AXUIElementRef;
typedef const struct __AXValue* AXValueRef;

enum AXError : int32_t {
    kAXErrorSuccess = 0,
    kAXErrorFailure = -25200,
    kAXErrorIllegalArgument = -25201,
    kAXErrorInvalidUIElement = -25202,
    kAXErrorCannotComplete = -25204,
    kAXErrorAttributeUnsupported = -25205,
    kAXErrorActionUnsupported = -25206,
    kAXErrorAPIDisabled = -25211,
    kAXErrorNoValue = -25212,
};

enum AXValueType : UInt32 {
    kAXValueTypeIllegal = 0,
    kAXValueTypeCGPoint = 1,
    kAXValueTypeCGSize = 2,
    kAXValueTypeCGRect = 3,
    kAXValueTypeCFRange = 4,
    kAXValueTypeAXError = 5,
};

CFTypeID AXUIElementGetTypeID(void);
AXUIElementRef AXUIElementCreateApplication(pid_t pid);
AXError AXUIElementSetMessagingTimeout(AXUIElementRef element, float timeoutInSeconds);
AXError AXUIElementCopyAttributeValue(AXUIElementRef element, CFStringRef attribute,
                                      CFTypeRef* value);
AXError AXUIElementPerformAction(AXUIElementRef element, CFStringRef action);
AXError AXUIElementCopyActionNames(AXUIElementRef element, CFArrayRef* names);

CFTypeID AXValueGetTypeID(void);
AXValueType AXValueGetType(AXValueRef value);
Boolean AXValueGetValue(AXValueRef value, AXValueType theType, void* valuePtr);

// ---- Process Manager ----

struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;
};
typedef struct ProcessSerialNumber ProcessSerialNumber;

enum {
    kNoProcess = 0,
    kSystemProcess = 1,
    kCurrentProcess = 2,
};

enum { procNotFound = -600 };

/// Advances `PSN` to the next process; start from {0, kNoProcess}. procNotFound at the end.
OSErr GetNextProcess(ProcessSerialNumber* PSN);
OSStatus CopyProcessName(const ProcessSerialNumber* PSN, CFStringRef* name);
OSStatus GetProcessPID(const ProcessSerialNumber* PSN, pid_t* pid);

#ifdef __cplusplus
}
#endif
