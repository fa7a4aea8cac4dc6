// SPDX-License-Identifier: MIT
// Recording fakes of every Apple call the macOS adapters make, with the signatures of the
// declaration headers they compile against here.
#include "fake_apple_calls.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/hidsystem/IOHIDLib.h>
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <notify.h>

using pointrelay::test::fakeApple;
using pointrelay::test::FakeAxValue;

namespace {

enum class Kind {
    Source,
    Event,
    String,
    Number,
    Boolean,
    Array,
    Dictionary,
    Element,
    AxValue,
    Date
};

const char* kindName(Kind kind) {
    static const char* const names[] = {"source", "event",      "string",  "number",  "boolean",
                                        "array",  "dictionary", "element", "axvalue", "date"};
    return names[static_cast<int>(kind)];
}

/// One Core Foundation object. Objects outlive their last release until reset, so a use
/// after release is reported rather than crashing.
struct Object {
    Kind kind = Kind::Date;
    int refs = 1;
    int32_t sourceState = 0;
    pointrelay::test::FakeCgEvent event;
    std::string text;
    std::variant<int64_t, double> number;
    bool boolean = false;
    std::vector<Object*> items; ///< an array's items, one reference each
    int node = -1;
    uint32_t axType = 0;
    double axData[4] = {};
};

std::deque<std::unique_ptr<Object>>& objects() {
    static std::deque<std::unique_ptr<Object>> all;
    return all;
}

void fault(std::string what) {
    fakeApple().faults.push_back(std::move(what));
}

void call(std::string name) {
    fakeApple().calls.push_back(std::move(name));
}

Object* make(Kind kind) {
    objects().push_back(std::make_unique<Object>());
    objects().back()->kind = kind;
    return objects().back().get();
}

Object* object(const void* ref) {
    return static_cast<Object*>(const_cast<void*>(ref));
}

template <typename Ref>
Ref handle(Object* o) {
    return static_cast<Ref>(static_cast<void*>(o));
}

/// The live object of `kind` behind `ref`, or null after reporting the misuse.
Object* expect(const void* ref, Kind kind, const char* where) {
    if (!ref) {
        fault(std::string(where) + ": null " + kindName(kind));
        return nullptr;
    }
    Object* o = object(ref);
    if (o->kind != kind) {
        fault(std::string(where) + ": " + kindName(o->kind) + " instead of " + kindName(kind));
        return nullptr;
    }
    if (o->refs <= 0)
        fault(std::string(where) + ": released " + kindName(kind));
    return o;
}

void release(Object* o) {
    if (o->refs <= 0) {
        fault(std::string("over-release of ") + kindName(o->kind));
        return;
    }
    if (--o->refs == 0)
        for (Object* item : o->items)
            release(item);
}

Object* makeString(std::string text) {
    Object* o = make(Kind::String);
    o->text = std::move(text);
    return o;
}

Object* makeEvent(CGEventSourceRef source, pointrelay::test::FakeCgEvent::Kind kind,
                  const char* where) {
    Object* o = make(Kind::Event);
    o->event.kind = kind;
    if (source)
        if (Object* s = expect(source, Kind::Source, where))
            o->event.sourceState = s->sourceState;
    return o;
}

pointrelay::test::FakeCgEvent* eventOf(CGEventRef event, const char* where) {
    Object* o = expect(event, Kind::Event, where);
    return o ? &o->event : nullptr;
}

Object* build(const FakeAxValue& value) {
    struct Builder {
        Object* operator()(const std::string& text) { return makeString(text); }
        Object* operator()(bool flag) {
            Object* o = make(Kind::Boolean);
            o->boolean = flag;
            return o;
        }
        Object* operator()(int64_t number) {
            Object* o = make(Kind::Number);
            o->number = number;
            return o;
        }
        Object* operator()(double number) {
            Object* o = make(Kind::Number);
            o->number = number;
            return o;
        }
        Object* operator()(CGPoint point) {
            return axValue(kAXValueTypeCGPoint, {point.x, point.y});
        }
        Object* operator()(CGSize size) {
            return axValue(kAXValueTypeCGSize, {size.width, size.height});
        }
        Object* operator()(const pointrelay::test::FakeRect& r) {
            return axValue(kAXValueTypeCGRect, {r.x, r.y, r.width, r.height});
        }
        Object* operator()(pointrelay::test::FakeElement element) {
            Object* o = make(Kind::Element);
            o->node = element.node;
            return o;
        }
        Object* operator()(const pointrelay::test::FakeAxArray& array) {
            Object* o = make(Kind::Array);
            for (const FakeAxValue& item : array)
                o->items.push_back(build(item));
            return o;
        }
        Object* operator()(pointrelay::test::FakeDate) { return make(Kind::Date); }

        static Object* axValue(AXValueType type, std::initializer_list<double> data) {
            Object* o = make(Kind::AxValue);
            o->axType = type;
            std::copy(data.begin(), data.end(), o->axData);
            return o;
        }
    };
    return std::visit(Builder{}, value.value);
}

pointrelay::test::FakeAxNode* nodeOf(Object* element) {
    auto& nodes = fakeApple().nodes;
    if (!element || element->node < 0 || element->node >= static_cast<int>(nodes.size()))
        return nullptr;
    return &nodes[static_cast<size_t>(element->node)];
}

/// UTF-16 units of UTF-8 text: one per code point, two for those beyond the first plane.
CFIndex utf16Length(const std::string& utf8) {
    CFIndex units = 0;
    for (unsigned char byte : utf8)
        if ((byte & 0xC0) != 0x80)
            units += byte >= 0xF0 ? 2 : 1;
    return units;
}

constexpr UInt32 kFirstPsn = 100; // serial numbers of listed processes start here

std::optional<size_t> processIndex(const ProcessSerialNumber* psn, const char* where) {
    const auto& list = fakeApple().processes;
    if (!psn || psn->highLongOfPSN != 0 || psn->lowLongOfPSN < kFirstPsn ||
        psn->lowLongOfPSN - kFirstPsn >= list.size()) {
        fault(std::string(where) + ": unknown process serial number");
        return std::nullopt;
    }
    return psn->lowLongOfPSN - kFirstPsn;
}

CFTypeID typeId(Kind kind) {
    return 0x100 + static_cast<CFTypeID>(kind);
}

} // namespace

namespace pointrelay::test {

FakeAppleCalls& fakeApple() {
    static FakeAppleCalls calls;
    return calls;
}

void FakeAppleCalls::reset() {
    objects().clear();
    *this = FakeAppleCalls{};
}

std::vector<std::string> FakeAppleCalls::liveObjects() const {
    std::vector<std::string> live;
    for (const auto& o : objects())
        if (o->refs > 0)
            live.push_back(kindName(o->kind));
    return live;
}

} // namespace pointrelay::test

// ---- Mach and I/O Kit ----

mach_port_t mach_task_self_ = 0x0103;
const mach_port_t kIOMainPortDefault = MACH_PORT_NULL;

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    call("IOServiceMatching");
    fakeApple().matchedClasses.push_back(name ? name : "<null>");
    Object* o = make(Kind::Dictionary);
    o->text = name ? name : "";
    return handle<CFMutableDictionaryRef>(o);
}

io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching) {
    call("IOServiceGetMatchingService");
    fakeApple().mainPorts.push_back(mainPort);
    if (Object* o = expect(matching, Kind::Dictionary, "IOServiceGetMatchingService"))
        release(o); // the call consumes one reference
    return fakeApple().hidService;
}

kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect) {
    call("IOServiceOpen");
    fakeApple().opens.push_back({service, owningTask, type});
    if (!connect) {
        fault("IOServiceOpen: null connect");
        return fakeApple().openStatus;
    }
    // The connection is only meaningful on success; a failure leaves something else there.
    *connect = fakeApple().openStatus == KERN_SUCCESS ? fakeApple().openConnection : 0xDEAD;
    return fakeApple().openStatus;
}

kern_return_t IOObjectRelease(io_object_t object) {
    call("IOObjectRelease");
    fakeApple().releasedObjects.push_back(object);
    return KERN_SUCCESS;
}

kern_return_t IOHIDPostEvent(io_connect_t connect, UInt32 eventType, IOGPoint location,
                             const NXEventData* eventData, UInt32 eventDataVersion,
                             IOOptionBits eventFlags, IOOptionBits options) {
    call("IOHIDPostEvent");
    pointrelay::test::FakeHidPost post{connect,          eventType,  location, {},
                                       eventDataVersion, eventFlags, options};
    if (eventData)
        std::memcpy(&post.data, eventData, sizeof post.data);
    else
        fault("IOHIDPostEvent: null event data");
    fakeApple().hidPosts.push_back(post);
    return fakeApple().hidPostStatus;
}

// ---- Core Foundation ----

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    if (!cf) {
        fault("CFRetain: null");
        return cf;
    }
    Object* o = object(cf);
    call(std::string("CFRetain ") + kindName(o->kind));
    if (o->refs <= 0)
        fault(std::string("CFRetain: released ") + kindName(o->kind));
    ++o->refs;
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (!cf) {
        fault("CFRelease: null");
        return;
    }
    call(std::string("CFRelease ") + kindName(object(cf)->kind));
    release(object(cf));
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    if (!cf) {
        fault("CFGetTypeID: null");
        return 0;
    }
    return typeId(object(cf)->kind);
}

CFTypeID CFStringGetTypeID(void) {
    return typeId(Kind::String);
}
CFTypeID CFBooleanGetTypeID(void) {
    return typeId(Kind::Boolean);
}
CFTypeID CFNumberGetTypeID(void) {
    return typeId(Kind::Number);
}
CFTypeID CFArrayGetTypeID(void) {
    return typeId(Kind::Array);
}
CFTypeID AXUIElementGetTypeID(void) {
    return typeId(Kind::Element);
}
CFTypeID AXValueGetTypeID(void) {
    return typeId(Kind::AxValue);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
    if (encoding != kCFStringEncodingUTF8 || isExternalRepresentation)
        fault("CFStringCreateWithBytes: not plain UTF-8");
    return handle<CFStringRef>(makeString(
        std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(numBytes))));
}

CFIndex CFStringGetLength(CFStringRef theString) {
    const Object* o = expect(theString, Kind::String, "CFStringGetLength");
    return o ? utf16Length(o->text) : 0;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (encoding != kCFStringEncodingUTF8)
        fault("CFStringGetMaximumSizeForEncoding: not UTF-8");
    return length * 3;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    const Object* o = expect(theString, Kind::String, "CFStringGetCString");
    if (encoding != kCFStringEncodingUTF8)
        fault("CFStringGetCString: not UTF-8");
    if (!o || bufferSize < 0 || o->text.size() + 1 > static_cast<size_t>(bufferSize))
        return false;
    std::memcpy(buffer, o->text.c_str(), o->text.size() + 1);
    return true;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    const Object* o = expect(boolean, Kind::Boolean, "CFBooleanGetValue");
    return o && o->boolean;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const Object* o = expect(number, Kind::Number, "CFNumberGetValue");
    if (theType != kCFNumberIntType) {
        fault("CFNumberGetValue: not kCFNumberIntType");
        return false;
    }
    if (!o)
        return false;
    constexpr double kMin = std::numeric_limits<int>::min();
    constexpr double kMax = std::numeric_limits<int>::max();
    const double value = std::visit([](auto v) { return static_cast<double>(v); }, o->number);
    *static_cast<int*>(valuePtr) = static_cast<int>(std::clamp(std::trunc(value), kMin, kMax));
    return value >= kMin && value <= kMax && value == std::trunc(value);
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    const Object* o = expect(theArray, Kind::Array, "CFArrayGetCount");
    return o ? static_cast<CFIndex>(o->items.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const Object* o = expect(theArray, Kind::Array, "CFArrayGetValueAtIndex");
    if (!o || idx < 0 || static_cast<size_t>(idx) >= o->items.size()) {
        fault("CFArrayGetValueAtIndex: out of range");
        return nullptr;
    }
    return o->items[static_cast<size_t>(idx)];
}

// ---- Core Graphics events ----

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID stateID) {
    call("CGEventSourceCreate");
    Object* o = make(Kind::Source);
    o->sourceState = stateID;
    return handle<CGEventSourceRef>(o);
}

CGEventRef CGEventCreate(CGEventSourceRef source) {
    call("CGEventCreate");
    return handle<CGEventRef>(
        makeEvent(source, pointrelay::test::FakeCgEvent::Kind::Plain, "CGEventCreate"));
}

CGPoint CGEventGetLocation(CGEventRef event) {
    call("CGEventGetLocation");
    eventOf(event, "CGEventGetLocation");
    return fakeApple().pointer;
}

CGError CGWarpMouseCursorPosition(CGPoint newCursorPosition) {
    call("CGWarpMouseCursorPosition");
    fakeApple().warps.push_back(newCursorPosition);
    return kCGErrorSuccess;
}

CGEventRef CGEventCreateMouseEvent(CGEventSourceRef source, CGEventType mouseType,
                                   CGPoint mouseCursorPosition, CGMouseButton mouseButton) {
    call("CGEventCreateMouseEvent");
    Object* o =
        makeEvent(source, pointrelay::test::FakeCgEvent::Kind::Mouse, "CGEventCreateMouseEvent");
    o->event.mouseType = mouseType;
    o->event.location = mouseCursorPosition;
    o->event.button = mouseButton;
    return handle<CGEventRef>(o);
}

CGEventRef CGEventCreateScrollWheelEvent(CGEventSourceRef source, CGScrollEventUnit units,
                                         uint32_t wheelCount, int32_t wheel1, ...) {
    call("CGEventCreateScrollWheelEvent");
    Object* o = makeEvent(source, pointrelay::test::FakeCgEvent::Kind::Scroll,
                          "CGEventCreateScrollWheelEvent");
    o->event.scrollUnits = units;
    if (wheelCount < 1 || wheelCount > 3)
        fault("CGEventCreateScrollWheelEvent: wheel count out of range");
    o->event.wheels.push_back(wheel1);
    va_list more;
    va_start(more, wheel1);
    for (uint32_t i = 1; i < wheelCount && i < 3; ++i)
        o->event.wheels.push_back(va_arg(more, int32_t));
    va_end(more);
    return handle<CGEventRef>(o);
}

CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown) {
    call("CGEventCreateKeyboardEvent");
    Object* o =
        makeEvent(source, pointrelay::test::FakeCgEvent::Kind::Key, "CGEventCreateKeyboardEvent");
    o->event.keyCode = virtualKey;
    o->event.keyDown = keyDown;
    return handle<CGEventRef>(o);
}

void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value) {
    call("CGEventSetIntegerValueField");
    if (auto* e = eventOf(event, "CGEventSetIntegerValueField"))
        e->integerFields[field] = value;
}

void CGEventSetDoubleValueField(CGEventRef event, CGEventField field, double value) {
    call("CGEventSetDoubleValueField");
    if (auto* e = eventOf(event, "CGEventSetDoubleValueField"))
        e->doubleFields[field] = value;
}

void CGEventSetFlags(CGEventRef event, CGEventFlags flags) {
    call("CGEventSetFlags");
    if (auto* e = eventOf(event, "CGEventSetFlags"))
        e->flags = flags;
}

void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount stringLength,
                                     const UniChar* unicodeString) {
    call("CGEventKeyboardSetUnicodeString");
    if (auto* e = eventOf(event, "CGEventKeyboardSetUnicodeString"))
        e->unicode = std::u16string(unicodeString, unicodeString + stringLength);
}

void CGEventPost(CGEventTapLocation tap, CGEventRef event) {
    call("CGEventPost");
    if (auto* e = eventOf(event, "CGEventPost"))
        fakeApple().posted.push_back({tap, *e});
}

// ---- Accessibility ----

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
    call("AXUIElementCreateApplication");
    const auto& applications = fakeApple().applications;
    const auto found = applications.find(pid);
    Object* o = make(Kind::Element);
    o->node = found == applications.end() ? -1 : found->second;
    return handle<AXUIElementRef>(o);
}

AXError AXUIElementSetMessagingTimeout(AXUIElementRef element, float timeoutInSeconds) {
    call("AXUIElementSetMessagingTimeout");
    Object* o = expect(element, Kind::Element, "AXUIElementSetMessagingTimeout");
    fakeApple().timeouts.emplace_back(o ? o->node : -1, timeoutInSeconds);
    return kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef element, CFStringRef attribute,
                                      CFTypeRef* value) {
    call("AXUIElementCopyAttributeValue");
    Object* o = expect(element, Kind::Element, "AXUIElementCopyAttributeValue");
    const Object* name = expect(attribute, Kind::String, "AXUIElementCopyAttributeValue");
    if (!o || !name || !value)
        return kAXErrorIllegalArgument;
    fakeApple().attributeReads.emplace_back(o->node, name->text);
    auto* node = nodeOf(o);
    if (!node)
        return kAXErrorInvalidUIElement;
    if (auto failing = node->failingAttributes.find(name->text);
        failing != node->failingAttributes.end())
        return static_cast<AXError>(failing->second);
    const auto found = node->attributes.find(name->text);
    if (found == node->attributes.end())
        return kAXErrorAttributeUnsupported;
    *value = build(found->second);
    return kAXErrorSuccess;
}

AXError AXUIElementPerformAction(AXUIElementRef element, CFStringRef action) {
    call("AXUIElementPerformAction");
    Object* o = expect(element, Kind::Element, "AXUIElementPerformAction");
    const Object* name = expect(action, Kind::String, "AXUIElementPerformAction");
    if (!o || !name)
        return kAXErrorIllegalArgument;
    fakeApple().actions.emplace_back(o->node, name->text);
    auto* node = nodeOf(o);
    return node ? static_cast<AXError>(node->actionError) : kAXErrorInvalidUIElement;
}

AXError AXUIElementCopyActionNames(AXUIElementRef element, CFArrayRef* names) {
    call("AXUIElementCopyActionNames");
    Object* o = expect(element, Kind::Element, "AXUIElementCopyActionNames");
    auto* node = nodeOf(o);
    if (!node || !names)
        return kAXErrorInvalidUIElement;
    if (node->actionNamesError != 0)
        return static_cast<AXError>(node->actionNamesError);
    *names = handle<CFArrayRef>(build(FakeAxValue{node->actionNames}));
    return kAXErrorSuccess;
}

AXValueType AXValueGetType(AXValueRef value) {
    const Object* o = expect(value, Kind::AxValue, "AXValueGetType");
    return o ? static_cast<AXValueType>(o->axType) : kAXValueTypeIllegal;
}

Boolean AXValueGetValue(AXValueRef value, AXValueType theType, void* valuePtr) {
    const Object* o = expect(value, Kind::AxValue, "AXValueGetValue");
    if (!o || o->axType != theType)
        return false;
    if (theType == kAXValueTypeCGPoint) {
        *static_cast<CGPoint*>(valuePtr) = CGPoint{o->axData[0], o->axData[1]};
        return true;
    }
    if (theType == kAXValueTypeCGSize) {
        *static_cast<CGSize*>(valuePtr) = CGSize{o->axData[0], o->axData[1]};
        return true;
    }
    return false;
}

// ---- Process Manager ----

OSErr GetNextProcess(ProcessSerialNumber* PSN) {
    call("GetNextProcess");
    if (!PSN || PSN->highLongOfPSN != 0 ||
        (PSN->lowLongOfPSN != kNoProcess && PSN->lowLongOfPSN < kFirstPsn)) {
        fault("GetNextProcess: the walk must start from {0, kNoProcess}");
        return procNotFound;
    }
    const UInt32 next = PSN->lowLongOfPSN == kNoProcess ? kFirstPsn : PSN->lowLongOfPSN + 1;
    if (next - kFirstPsn >= fakeApple().processes.size())
        return procNotFound;
    PSN->lowLongOfPSN = next;
    return noErr;
}

OSStatus CopyProcessName(const ProcessSerialNumber* PSN, CFStringRef* name) {
    call("CopyProcessName");
    const auto index = processIndex(PSN, "CopyProcessName");
    if (!index || !name)
        return -50; // paramErr
    const auto& process = fakeApple().processes[*index];
    if (process.nameFails)
        return -50;
    *name = handle<CFStringRef>(makeString(process.name));
    return noErr;
}

OSStatus GetProcessPID(const ProcessSerialNumber* PSN, pid_t* pid) {
    call("GetProcessPID");
    const auto index = processIndex(PSN, "GetProcessPID");
    if (!index || !pid)
        return -50;
    *pid = fakeApple().processes[*index].pid;
    return noErr;
}

// ---- Notifications ----

uint32_t notify_post(const char* name) {
    call("notify_post");
    fakeApple().notifications.push_back(name ? name : "<null>");
    return fakeApple().notifyStatus;
}
