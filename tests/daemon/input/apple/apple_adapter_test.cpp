// SPDX-License-Identifier: MIT
// The macOS event sink against recording fakes of the Apple calls it makes (with the
// signatures of our declaration headers): the events, their taps, sources and fields, the
// auxiliary-key service, and every Core Foundation object released.
#include "input/apple/apple_event_sink.h"

#include <ApplicationServices/ApplicationServices.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/hidsystem/IOHIDLib.h>
#include <cstdarg>
#include <deque>
#include <gtest/gtest.h>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;

// What the fakes answer, and what they record: one line per call, and each object made (an
// event grows its description with every field set) with its references.
struct Script {
    CGPoint pointer{};
    io_service_t hidService = 0x2203; ///< 0: no IOHIDSystem
    kern_return_t openStatus = 0, postStatus = 0;
    Lines calls;
    std::deque<std::pair<std::string, int>> objects;
} script;

template <typename Ref = void*>
Ref make(std::string description) {
    return reinterpret_cast<Ref>(&script.objects.emplace_back(std::move(description), 1));
}
std::string& text(const void* object) {
    return static_cast<std::pair<std::string, int>*>(const_cast<void*>(object))->first;
}
template <typename... Parts>
void record(const Parts&... parts) {
    std::ostringstream line;
    ((line << parts), ...);
    script.calls.push_back(line.str());
}
template <typename... Parts>
void describe(CGEventRef event, const Parts&... parts) {
    std::ostringstream more;
    ((more << parts), ...);
    text(event) += more.str();
}

} // namespace

mach_port_t mach_task_self_ = 0x0103;
const mach_port_t kIOMainPortDefault = 0;

void CFRelease(CFTypeRef object) {
    --static_cast<std::pair<std::string, int>*>(const_cast<void*>(object))->second;
}
CFMutableDictionaryRef IOServiceMatching(const char* name) {
    return make<CFMutableDictionaryRef>(name);
}
io_service_t IOServiceGetMatchingService(mach_port_t port, CFDictionaryRef matching) {
    record("IOServiceGetMatchingService ", port, " ", text(matching));
    CFRelease(matching); // consumed
    return script.hidService;
}
kern_return_t IOServiceOpen(io_service_t service, task_port_t task, uint32_t type,
                            io_connect_t* connect) {
    record("IOServiceOpen ", service, " ", task, " ", type);
    *connect = script.openStatus == 0 ? 0x3307 : 0xDEAD; // garbage unless it worked
    return script.openStatus;
}
kern_return_t IOObjectRelease(io_object_t object) {
    record("IOObjectRelease ", object);
    return 0;
}
kern_return_t IOHIDPostEvent(io_connect_t connect, UInt32 type, IOGPoint at,
                             const NXEventData* data, UInt32 version, IOOptionBits flags,
                             IOOptionBits options) {
    int others = 0; // every byte but the subtype and the first word stays zero
    for (size_t i = 8; i < sizeof *data; ++i)
        others += reinterpret_cast<const unsigned char*>(data)[i] != 0;
    record("IOHIDPostEvent ", connect, " type=", type, " at=", at.x, ",", at.y,
           " subtype=", data->compound.subType, " data1=", std::hex, data->compound.misc.L[0],
           std::dec, " others=", others, " version=", version, " flags=", flags,
           " options=", options);
    return script.postStatus;
}
CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state) {
    return make<CGEventSourceRef>(" source=" + std::to_string(state));
}
CGEventRef CGEventCreate(CGEventSourceRef) {
    return make<CGEventRef>("");
}
CGPoint CGEventGetLocation(CGEventRef) {
    return script.pointer;
}
CGError CGWarpMouseCursorPosition(CGPoint to) {
    record("CGWarpMouseCursorPosition ", to.x, ",", to.y);
    return kCGErrorSuccess;
}
CGEventRef CGEventCreateMouseEvent(CGEventSourceRef source, CGEventType type, CGPoint at,
                                   CGMouseButton button) {
    std::ostringstream line;
    line << "mouse " << type << " @" << at.x << "," << at.y << " button=" << button << text(source);
    return make<CGEventRef>(line.str());
}
CGEventRef CGEventCreateScrollWheelEvent(CGEventSourceRef source, CGScrollEventUnit units,
                                         uint32_t count, int32_t wheel1, ...) {
    std::string line = "scroll units=" + std::to_string(units) + " " + std::to_string(wheel1);
    va_list more;
    va_start(more, wheel1);
    for (uint32_t i = 1; i < count; ++i)
        line += "," + std::to_string(va_arg(more, int32_t));
    va_end(more);
    return make<CGEventRef>(line + text(source));
}
CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode key, bool down) {
    return make<CGEventRef>("key " + std::to_string(key) + (down ? " down" : " up") + text(source));
}
void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value) {
    describe(event, " int", field, "=", value);
}
void CGEventSetDoubleValueField(CGEventRef event, CGEventField field, double value) {
    describe(event, " double", field, "=", value);
}
void CGEventSetFlags(CGEventRef event, CGEventFlags flags) {
    describe(event, " flags=0x", std::hex, flags);
}
void CGEventKeyboardSetUnicodeString(CGEventRef event, UniCharCount length, const UniChar* units) {
    describe(event, " text=");
    for (UniCharCount i = 0; i < length; ++i)
        describe(event, i ? "," : "", std::hex, units[i]);
}
void CGEventPost(CGEventTapLocation tap, CGEventRef event) {
    record("CGEventPost ", tap, " ", text(event));
}

namespace pointrelay::input {
namespace {

TEST(AppleEventSink, EventsGoToTheirTapsWithTheirFieldsAndAuxiliaryKeysToTheHidSystem) {
    const auto sink = createAppleEventSink();
    script.pointer = {812.5, -40};
    EXPECT_EQ(sink->pointerLocation(), (Point{812.5, -40}));
    sink->warpPointer({3, 4.5});
    Lines expected = {"CGWarpMouseCursorPosition 3,4.5"};
    for (int type = 1; type <= 7; ++type) {
        const bool right = type == 3 || type == 4 || type == 7;
        sink->postMouse({MouseEventType(type),
                         {12.5, 900.25},
                         right ? MouseButton::Right : MouseButton::Left,
                         type == 1 ? std::optional<int64_t>(2) : std::nullopt});
        expected.push_back("CGEventPost 1 mouse " + std::to_string(type) + " @12.5,900.25 button=" +
                           (right ? "1" : "0") + " source=1" + (type == 1 ? " int1=2" : ""));
    }
    sink->postScroll({-12, 5, true, -11.625, 4.75});
    sink->postKey({0x24, true, std::nullopt, std::nullopt, Tap::Hid});
    sink->postKey({0x09, false, 0x120000, std::nullopt, Tap::Session});
    sink->postKey({0, true, std::nullopt, u"a\xD83D\xDE00", Tap::Session});
    expected.insert(expected.end(),
                    {"CGEventPost 1 scroll units=0 -12,5 source=1 int88=1 double93=-11.625 "
                     "double94=4.75",
                     "CGEventPost 0 key 36 down source=1",
                     "CGEventPost 1 key 9 up source=1 flags=0x120000",
                     "CGEventPost 1 key 0 down source=1 text=61,d83d,de00"});
    EXPECT_EQ(std::exchange(script.calls, {}), expected);

    script.hidService = 0;
    EXPECT_FALSE(sink->openHidSystem().serviceFound);
    script.hidService = 0x2203;
    script.openStatus = int(0xE00002C1);
    const HidOpenResult refused = sink->openHidSystem();
    EXPECT_TRUE(refused.serviceFound && refused.status == int(0xE00002C1) && !refused.connection);
    script.openStatus = 0;
    const HidOpenResult opened = sink->openHidSystem();
    EXPECT_TRUE(opened.serviceFound && opened.status == 0 && opened.connection == 0x3307u);
    // A parameter connection of our own task; the service is released after every open.
    const std::string find = "IOServiceGetMatchingService 0 IOHIDSystem";
    const std::string open = "IOServiceOpen 8707 259 1", done = "IOObjectRelease 8707";
    EXPECT_EQ(std::exchange(script.calls, {}), (Lines{find, find, open, done, find, open, done}));
    script.postStatus = 5;
    EXPECT_EQ(sink->postAuxKey(0x3307, AuxKeyType::SoundUp, true), 5);
    script.postStatus = 0;
    EXPECT_EQ(sink->postAuxKey(0x3307, AuxKeyType::BrightnessDown, false), 0);
    const std::string post = "IOHIDPostEvent 13063 type=14 at=0,0 subtype=8 data1=";
    const std::string tail = " others=0 version=2 flags=0 options=0";
    EXPECT_EQ(script.calls, (Lines{post + "a00" + tail, post + "30b00" + tail}));
    for (const auto& [object, references] : script.objects)
        EXPECT_EQ(references, 0) << "never released: " << object;
}

} // namespace
} // namespace pointrelay::input
