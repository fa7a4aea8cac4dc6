// SPDX-License-Identifier: MIT
#include "apple_accessibility.h"

#include "cf_owned.h"

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <cstring>
#include <notify.h>

#ifdef __clang__
// The Process Manager calls are deprecated, yet they give every process's name and pid.
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace pointrelay::input {
namespace {

/// One retained accessibility element, released with the last pointer to it.
class AppleAxElement final : public AxElement {
public:
    /// Takes over one reference to `ref`.
    explicit AppleAxElement(AXUIElementRef ref) : m_ref(ref) {}
    ~AppleAxElement() override { CFRelease(m_ref); }
    AppleAxElement(const AppleAxElement&) = delete;
    AppleAxElement& operator=(const AppleAxElement&) = delete;

    AXUIElementRef ref() const { return m_ref; }

private:
    AXUIElementRef m_ref;
};

AXUIElementRef refOf(const AxElementPtr& element) {
    const auto* apple = dynamic_cast<const AppleAxElement*>(element.get());
    return apple ? apple->ref() : nullptr;
}

/// Wraps an element the caller does not own, taking a reference of its own.
AxElementPtr retainElement(CFTypeRef element) {
    return std::make_shared<AppleAxElement>(static_cast<AXUIElementRef>(CFRetain(element)));
}

bool isElement(CFTypeRef value) {
    return value && CFGetTypeID(value) == AXUIElementGetTypeID();
}

CfOwned<CFStringRef> makeString(std::string_view utf8) {
    return CfOwned<CFStringRef>(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                                static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

std::optional<std::string> toUtf8(CFStringRef text) {
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string out(static_cast<size_t>(size), '\0');
    if (!CFStringGetCString(text, out.data(), size, kCFStringEncodingUTF8))
        return std::nullopt;
    out.resize(std::strlen(out.c_str()));
    return out;
}

AxValue fromAxValue(AXValueRef value) {
    const AXValueType type = AXValueGetType(value);
    if (type == kAXValueTypeCGPoint) {
        CGPoint point{};
        if (AXValueGetValue(value, kAXValueTypeCGPoint, &point))
            return AxValue{std::in_place_type<Point>, Point{point.x, point.y}};
    } else if (type == kAXValueTypeCGSize) {
        CGSize size{};
        if (AXValueGetValue(value, kAXValueTypeCGSize, &size))
            return AxValue{std::in_place_type<AxSize>, AxSize{size.width, size.height}};
    }
    return AxOther{};
}

/// Maps a copied attribute value onto the types the portable logic reads.
AxValue fromCf(CFTypeRef value) {
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        if (auto text = toUtf8(static_cast<CFStringRef>(value)))
            return AxValue{std::in_place_type<std::string>, std::move(*text)};
        return AxOther{};
    }
    if (type == CFBooleanGetTypeID())
        return AxValue{std::in_place_type<bool>,
                       CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0};
    if (type == CFNumberGetTypeID()) {
        int number = 0;
        const bool exact =
            CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &number);
        return AxValue{std::in_place_type<std::optional<int32_t>>,
                       exact ? std::optional<int32_t>(number) : std::nullopt};
    }
    if (type == AXValueGetTypeID())
        return fromAxValue(static_cast<AXValueRef>(value));
    if (type == AXUIElementGetTypeID())
        return AxValue{std::in_place_type<AxElementPtr>, retainElement(value)};
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(value);
        std::vector<AxElementPtr> elements;
        const CFIndex count = CFArrayGetCount(array);
        elements.reserve(static_cast<size_t>(count));
        for (CFIndex i = 0; i < count; ++i) {
            const void* item = CFArrayGetValueAtIndex(array, i);
            elements.push_back(isElement(item) ? retainElement(item) : nullptr);
        }
        return AxValue{std::in_place_type<std::vector<AxElementPtr>>, std::move(elements)};
    }
    return AxOther{};
}

} // namespace

std::optional<int32_t> AppleAccessibility::findProcessIdByName(std::string_view name) {
    ProcessSerialNumber psn{0, kNoProcess};
    while (GetNextProcess(&psn) == noErr) {
        CFStringRef copied = nullptr;
        const OSStatus status = CopyProcessName(&psn, &copied);
        const CfOwned<CFStringRef> processName(copied);
        if (status != noErr || !processName)
            continue;
        char buffer[256];
        if (!CFStringGetCString(processName.get(), buffer, sizeof buffer, kCFStringEncodingUTF8))
            continue;
        if (std::string_view(buffer) != name)
            continue;
        pid_t pid = 0;
        if (GetProcessPID(&psn, &pid) == noErr)
            return pid;
    }
    return std::nullopt;
}

AxElementPtr AppleAccessibility::createApplication(int32_t pid) {
    const AXUIElementRef application = AXUIElementCreateApplication(pid);
    if (!application)
        return nullptr;
    return std::make_shared<AppleAxElement>(application);
}

void AppleAccessibility::setMessagingTimeout(const AxElementPtr& element, float seconds) {
    if (const AXUIElementRef ref = refOf(element))
        AXUIElementSetMessagingTimeout(ref, seconds);
}

std::optional<AxValue> AppleAccessibility::copyAttribute(const AxElementPtr& element,
                                                         std::string_view attribute) {
    const AXUIElementRef ref = refOf(element);
    const CfOwned<CFStringRef> name = makeString(attribute);
    if (!ref || !name)
        return std::nullopt;
    CFTypeRef copied = nullptr;
    const AXError error = AXUIElementCopyAttributeValue(ref, name.get(), &copied);
    const CfOwned<CFTypeRef> value(copied);
    if (error != kAXErrorSuccess || !value)
        return std::nullopt;
    return fromCf(value.get());
}

int32_t AppleAccessibility::performAction(const AxElementPtr& element, std::string_view action) {
    const AXUIElementRef ref = refOf(element);
    const CfOwned<CFStringRef> name = makeString(action);
    if (!ref || !name)
        return kAXErrorIllegalArgument;
    return AXUIElementPerformAction(ref, name.get());
}

std::optional<std::vector<std::string>>
AppleAccessibility::copyActionNames(const AxElementPtr& element) {
    const AXUIElementRef ref = refOf(element);
    if (!ref)
        return std::nullopt;
    CFArrayRef copied = nullptr;
    const AXError error = AXUIElementCopyActionNames(ref, &copied);
    const CfOwned<CFArrayRef> names(copied);
    if (error != kAXErrorSuccess || !names)
        return std::nullopt;
    std::vector<std::string> out;
    const CFIndex count = CFArrayGetCount(names.get());
    for (CFIndex i = 0; i < count; ++i) {
        const void* item = CFArrayGetValueAtIndex(names.get(), i);
        if (!item || CFGetTypeID(item) != CFStringGetTypeID())
            continue;
        if (auto text = toUtf8(static_cast<CFStringRef>(item)))
            out.push_back(std::move(*text));
    }
    return out;
}

int32_t AppleAccessibility::notifyPost(std::string_view name) {
    const std::string terminated(name);
    return static_cast<int32_t>(notify_post(terminated.c_str()));
}

std::unique_ptr<AccessibilityPort> createAppleAccessibility() {
    return std::make_unique<AppleAccessibility>();
}

} // namespace pointrelay::input
