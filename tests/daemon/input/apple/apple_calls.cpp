// SPDX-License-Identifier: MIT
// The Apple calls of the macOS adapters, with the signatures of our declaration headers: each
// records one line and answers from the script.
#include "apple_calls.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/hidsystem/IOHIDLib.h>
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <notify.h>
#include <sstream>

using pointrelay::test::apple;
using Calls = pointrelay::test::AppleCalls;

namespace {

/// One Core Foundation object: its kind, references and whatever it holds.
struct Object {
    std::string kind;
    int refs = 1;
    std::string text; ///< a string's UTF-8, an event's description
    double number = 0;
    std::vector<Object*> items;
    int node = -1;
    AXValueType axType = kAXValueTypeIllegal;
    double pair[2] = {};
};

std::deque<Object>& objects() {
    static std::deque<Object> all; // stable addresses; outlive their last release
    return all;
}

Object* make(std::string kind, std::string text = {}) {
    Object& o = objects().emplace_back();
    o.kind = std::move(kind);
    o.text = std::move(text);
    return &o;
}

Object* of(const void* ref) {
    return static_cast<Object*>(const_cast<void*>(ref));
}

template <typename Ref>
Ref as(Object* o) {
    return reinterpret_cast<Ref>(o);
}

template <typename... Parts>
void record(const Parts&... parts) {
    std::ostringstream line;
    ((line << parts), ...);
    apple().calls.push_back(line.str());
}

void release(Object* o) {
    if (o->refs-- == 1)
        for (Object* item : o->items)
            release(item);
}

Object* build(const Calls::Value& value) {
    if (const auto* text = std::get_if<std::string>(&value))
        return make("string", *text);
    if (const auto* flag = std::get_if<bool>(&value)) {
        Object* o = make("boolean");
        o->number = *flag;
        return o;
    }
    if (const auto* number = std::get_if<double>(&value)) {
        Object* o = make("number");
        o->number = *number;
        return o;
    }
    if (const auto* element = std::get_if<Calls::Element>(&value)) {
        Object* o = make("element");
        o->node = element->node;
        return o;
    }
    Object* o = make("axvalue");
    if (const auto* point = std::get_if<CGPoint>(&value)) {
        o->axType = kAXValueTypeCGPoint;
        o->pair[0] = point->x, o->pair[1] = point->y;
    } else if (const auto* size = std::get_if<CGSize>(&value)) {
        o->axType = kAXValueTypeCGSize;
        o->pair[0] = size->width, o->pair[1] = size->height;
    } else {
        o->kind = "array";
        if (const auto* elements = std::get_if<std::vector<Calls::Element>>(&value)) {
            for (const Calls::Element& e : *elements)
                o->items.push_back(build(e));
        } else {
            for (const std::string& text : std::get<std::vector<std::string>>(value))
                o->items.push_back(make("string", text));
        }
    }
    return o;
}

Calls::Node* nodeOf(const void* element) {
    const int node = element ? of(element)->node : -1;
    return node >= 0 && node < int(apple().nodes.size()) ? &apple().nodes[size_t(node)] : nullptr;
}

CFTypeID typeId(const char* kind) {
    static const char* const kinds[] = {"string", "boolean", "number",
                                        "array",  "element", "axvalue"};
    for (CFTypeID i = 0; i < std::size(kinds); ++i)
        if (std::strcmp(kinds[i], kind) == 0)
            return 100 + i;
    return 0;
}

} // namespace

namespace pointrelay::test {

AppleCalls& apple() {
    static AppleCalls calls;
    return calls;
}

std::vector<std::string> AppleCalls::live() const {
    std::vector<std::string> kinds;
    for (const Object& o : objects())
        if (o.refs > 0)
            kinds.push_back(o.kind);
    return kinds;
}

void AppleCalls::reset() {
    objects().clear();
    *this = AppleCalls{};
}

} // namespace pointrelay::test

// ---- Mach, I/O Kit, notify ----
mach_port_t mach_task_self_ = 0x0103;
const mach_port_t kIOMainPortDefault = 0;

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    record("IOServiceMatching ", name);
    return as<CFMutableDictionaryRef>(make("dictionary", name));
}
io_service_t IOServiceGetMatchingService(mach_port_t port, CFDictionaryRef matching) {
    record("IOServiceGetMatchingService ", port, " ", of(matching)->text);
    release(of(matching)); // consumed
    return apple().hidService;
}
kern_return_t IOServiceOpen(io_service_t service, task_port_t task, uint32_t type,
                            io_connect_t* connect) {
    record("IOServiceOpen ", service, " ", task, " ", type);
    *connect = apple().openStatus == 0 ? 0x3307 : 0xDEAD; // garbage unless it worked
    return apple().openStatus;
}
kern_return_t IOObjectRelease(io_object_t object) {
    record("IOObjectRelease ", object);
    return 0;
}
kern_return_t IOHIDPostEvent(io_connect_t connect, UInt32 type, IOGPoint location,
                             const NXEventData* data, UInt32 version, IOOptionBits flags,
                             IOOptionBits options) {
    char hexWords[16] = {};
    std::snprintf(hexWords, sizeof hexWords, "0x%08X", uint32_t(data->compound.misc.L[0]));
    int otherBytes = 0; // every byte but the subtype and the first word stays zero
    for (size_t i = 8; i < sizeof *data; ++i)
        otherBytes += reinterpret_cast<const unsigned char*>(data)[i] != 0;
    record("IOHIDPostEvent ", connect, " type=", type, " at=", location.x, ",", location.y,
           " subtype=", data->compound.subType, " data1=", hexWords, " other=", otherBytes,
           " version=", version, " flags=", flags, " options=", options);
    return apple().postStatus;
}
uint32_t notify_post(const char* name) {
    record("notify_post ", name);
    return 0;
}

// ---- Core Foundation ----
const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    ++of(cf)->refs;
    return cf;
}
void CFRelease(CFTypeRef cf) {
    release(of(cf));
}
CFTypeID CFGetTypeID(CFTypeRef cf) {
    return typeId(of(cf)->kind.c_str());
}
CFTypeID CFStringGetTypeID(void) {
    return typeId("string");
}
CFTypeID CFBooleanGetTypeID(void) {
    return typeId("boolean");
}
CFTypeID CFNumberGetTypeID(void) {
    return typeId("number");
}
CFTypeID CFArrayGetTypeID(void) {
    return typeId("array");
}
CFTypeID AXUIElementGetTypeID(void) {
    return typeId("element");
}
CFTypeID AXValueGetTypeID(void) {
    return typeId("axvalue");
}
CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex length,
                                    CFStringEncoding, Boolean) {
    return as<CFStringRef>(
        make("string", std::string(reinterpret_cast<const char*>(bytes), length)));
}
CFIndex CFStringGetLength(CFStringRef text) {
    CFIndex units = 0; // UTF-16 units: one per code point, two beyond the first plane
    for (const unsigned char byte : of(text)->text)
        units += (byte & 0xC0) != 0x80 ? (byte >= 0xF0 ? 2 : 1) : 0;
    return units;
}
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding) {
    return length * 3;
}
Boolean CFStringGetCString(CFStringRef text, char* buffer, CFIndex size, CFStringEncoding) {
    const std::string& utf8 = of(text)->text;
    if (utf8.size() + 1 > size_t(size))
        return false;
    std::memcpy(buffer, utf8.c_str(), utf8.size() + 1);
    return true;
}
Boolean CFBooleanGetValue(CFBooleanRef value) {
    return of(value)->number != 0;
}
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType, void* out) {
    const double value = of(number)->number;
    *static_cast<int*>(out) = static_cast<int>(std::clamp(std::trunc(value), -2e9, 2e9));
    return value == std::trunc(value) && std::abs(value) < 2147483648.0;
}
CFIndex CFArrayGetCount(CFArrayRef array) {
    return CFIndex(of(array)->items.size());
}
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex i) {
    return of(array)->items.at(size_t(i));
}

// ---- Quartz events: an event's line grows with every field set, and is recorded at CGEventPost
// ----
CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state) {
    return as<CGEventSourceRef>(make("source", std::to_string(state)));
}
Object* makeEvent(CGEventSourceRef source, std::string description) {
    return make("event", source ? description + " source=" + of(source)->text : description);
}
CGEventRef CGEventCreate(CGEventSourceRef source) {
    return as<CGEventRef>(makeEvent(source, "plain"));
}
CGPoint CGEventGetLocation(CGEventRef) {
    return apple().pointer;
}
CGError CGWarpMouseCursorPosition(CGPoint to) {
    record("CGWarpMouseCursorPosition ", to.x, ",", to.y);
    return kCGErrorSuccess;
}
CGEventRef CGEventCreateMouseEvent(CGEventSourceRef source, CGEventType type, CGPoint at,
                                   CGMouseButton button) {
    std::ostringstream text;
    text << "mouse " << type << " @" << at.x << "," << at.y << " button=" << button;
    return as<CGEventRef>(makeEvent(source, text.str()));
}
CGEventRef CGEventCreateScrollWheelEvent(CGEventSourceRef source, CGScrollEventUnit units,
                                         uint32_t count, int32_t wheel1, ...) {
    std::ostringstream text;
    text << "scroll units=" << units << " " << wheel1;
    va_list more;
    va_start(more, wheel1);
    for (uint32_t i = 1; i < count; ++i)
        text << "," << va_arg(more, int32_t);
    va_end(more);
    return as<CGEventRef>(makeEvent(source, text.str()));
}
CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode key, bool down) {
    return as<CGEventRef>(
        makeEvent(source, "key " + std::to_string(key) + (down ? " down" : " up")));
}
void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value) {
    of(event)->text += " int" + std::to_string(field) + "=" + std::to_string(value);
}
void CGEventSetDoubleValueField(CGEventRef event, CGEventField field, double value) {
    std::ostringstream text;
    text << " double" << field << "=" << value;
    of(event)->text += text.str();
}
void CGEventSetFlags(CGEventRef event, CGEventFlags flags) {
    char text[32];
    std::snprintf(text, sizeof text, " flags=0x%llx", static_cast<unsigned long long>(flags));
    of(event)->text += text;
}
void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount length, const UniChar* units) {
    std::ostringstream text;
    text << " text=" << std::hex;
    for (UniCharCount i = 0; i < length; ++i)
        text << (i ? "," : "") << units[i];
    of(event)->text += text.str();
}
void CGEventPost(CGEventTapLocation tap, CGEventRef event) {
    record("CGEventPost ", tap, " ", of(event)->text);
}

// ---- Accessibility and processes ----
AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
    Object* o = make("element");
    const auto it = apple().applications.find(pid);
    o->node = it == apple().applications.end() ? -1 : it->second;
    return as<AXUIElementRef>(o);
}
AXError AXUIElementSetMessagingTimeout(AXUIElementRef element, float seconds) {
    record("AXUIElementSetMessagingTimeout ", of(element)->node, " ", seconds);
    return kAXErrorSuccess;
}
AXError AXUIElementCopyAttributeValue(AXUIElementRef element, CFStringRef name, CFTypeRef* value) {
    const Calls::Node* node = nodeOf(element);
    const auto it =
        node ? node->attributes.find(of(name)->text) : decltype(node->attributes.end()){};
    if (!node || it == node->attributes.end())
        return kAXErrorAttributeUnsupported;
    *value = build(it->second);
    return kAXErrorSuccess;
}
AXError AXUIElementPerformAction(AXUIElementRef element, CFStringRef action) {
    record("AXUIElementPerformAction ", of(element)->node, " ", of(action)->text);
    return nodeOf(element) ? AXError(nodeOf(element)->actionError) : kAXErrorInvalidUIElement;
}
AXError AXUIElementCopyActionNames(AXUIElementRef element, CFArrayRef* names) {
    if (!nodeOf(element))
        return kAXErrorInvalidUIElement;
    Object* array = build(nodeOf(element)->actionNames);
    array->items.push_back(make("boolean")); // not a string: skipped
    *names = as<CFArrayRef>(array);
    return kAXErrorSuccess;
}
AXValueType AXValueGetType(AXValueRef value) {
    return of(value)->axType;
}
Boolean AXValueGetValue(AXValueRef value, AXValueType type, void* out) {
    if (type != of(value)->axType)
        return false;
    std::memcpy(out, of(value)->pair, sizeof(double) * 2);
    return true;
}
OSErr GetNextProcess(ProcessSerialNumber* psn) {
    const size_t next = psn->lowLongOfPSN == kNoProcess ? 0 : psn->lowLongOfPSN - 100 + 1;
    if (next >= apple().processes.size())
        return procNotFound;
    psn->lowLongOfPSN = UInt32(100 + next);
    return noErr;
}
OSStatus CopyProcessName(const ProcessSerialNumber* psn, CFStringRef* name) {
    const std::string& text = apple().processes.at(psn->lowLongOfPSN - 100).first;
    if (text.empty())
        return -1;
    *name = as<CFStringRef>(make("string", text));
    return noErr;
}
OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid) {
    *pid = apple().processes.at(psn->lowLongOfPSN - 100).second;
    return noErr;
}
