// SPDX-License-Identifier: MIT
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/hidsystem/IOHIDLib.h>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pointrelay::test {

/// A Core Graphics event as it stood when posted.
struct FakeCgEvent {
    enum class Kind { Plain, Mouse, Scroll, Key };
    Kind kind = Kind::Plain;
    std::optional<int32_t> sourceState; ///< state of the source it was created from, if any
    uint32_t mouseType = 0;
    CGPoint location{};
    uint32_t button = 0;
    uint32_t scrollUnits = 0;
    std::vector<int32_t> wheels; ///< as many as the wheel count given
    uint16_t keyCode = 0;
    bool keyDown = false;
    std::optional<uint64_t> flags;
    std::optional<std::u16string> unicode; ///< the units passed, as many as the length given
    std::map<uint32_t, int64_t> integerFields;
    std::map<uint32_t, double> doubleFields;
};

struct FakePostedEvent {
    uint32_t tap = 0;
    FakeCgEvent event;
};

struct FakeHidPost {
    io_connect_t connection = 0;
    uint32_t eventType = 0;
    IOGPoint location{};
    NXEventData data{};
    uint32_t version = 0;
    uint32_t eventFlags = 0;
    uint32_t options = 0;
};

struct FakeServiceOpen {
    io_service_t service = 0;
    task_port_t task = 0;
    uint32_t type = 0;
};

/// What an accessibility attribute holds; every read makes fresh Core Foundation objects of it.
struct FakeAxValue;
struct FakeElement {
    int node = 0; ///< index into FakeAppleCalls::nodes
};
struct FakeRect {
    double x = 0, y = 0, width = 0, height = 0; ///< an AXValue of a kind the adapter leaves alone
};
struct FakeDate {}; ///< a Core Foundation type the adapter has no mapping for
using FakeAxArray = std::vector<FakeAxValue>;
struct FakeAxValue {
    std::variant<std::string, bool, int64_t, double, CGPoint, CGSize, FakeRect, FakeElement,
                 FakeAxArray, FakeDate>
        value;
};

struct FakeAxNode {
    std::map<std::string, FakeAxValue> attributes; ///< others are unsupported
    std::map<std::string, int32_t> failingAttributes;
    int32_t actionError = 0;
    FakeAxArray actionNames;
    int32_t actionNamesError = 0;
};

struct FakeProcess {
    std::string name;
    pid_t pid = 0;
    bool nameFails = false; ///< CopyProcessName reports an error for it
};

/// Scripted answers for, and records of, every Apple call the adapters make. Core Foundation
/// objects are counted: each is created with one reference and must be released to zero.
struct FakeAppleCalls {
    // Answers.
    CGPoint pointer{};
    io_service_t hidService = 0x2203; ///< 0: no IOHIDSystem service
    kern_return_t openStatus = KERN_SUCCESS;
    io_connect_t openConnection = 0x3307;
    kern_return_t hidPostStatus = KERN_SUCCESS;
    std::vector<FakeProcess> processes;
    std::vector<FakeAxNode> nodes;
    std::map<pid_t, int> applications; ///< application element node of a pid
    uint32_t notifyStatus = 0;

    // Records.
    std::vector<std::string> calls; ///< event calls in order; CFRelease names the kind
    std::vector<FakePostedEvent> posted;
    std::vector<CGPoint> warps;
    std::vector<std::string> matchedClasses;
    std::vector<mach_port_t> mainPorts;
    std::vector<FakeServiceOpen> opens;
    std::vector<io_object_t> releasedObjects;
    std::vector<FakeHidPost> hidPosts;
    std::vector<std::pair<int, float>> timeouts;             ///< node, seconds
    std::vector<std::pair<int, std::string>> attributeReads; ///< node, attribute
    std::vector<std::pair<int, std::string>> actions;        ///< node, action
    std::vector<std::string> notifications;
    std::vector<std::string> faults; ///< misuse: wrong object kind, released too often, ...

    /// Forgets every object, answer and record.
    void reset();
    /// Kinds of the objects still holding a reference, e.g. "event" or "string".
    std::vector<std::string> liveObjects() const;
};

FakeAppleCalls& fakeApple();

} // namespace pointrelay::test
