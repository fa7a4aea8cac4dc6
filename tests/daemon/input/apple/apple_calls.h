// SPDX-License-Identifier: MIT
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <IOKit/IOKitLib.h>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace pointrelay::test {

/// The Apple calls of the macOS adapters, answered by a script and recorded as one line each
/// ("CGEventPost 1 mouse 5 @12.5,900.25 button=0 source=1 int1=2"), in order. Core Foundation
/// objects are counted: each starts with one reference and must be released to zero.
struct AppleCalls {
    struct Element {
        int node = 0;
    };
    /// What an accessibility attribute holds; every read makes fresh objects of it.
    using Value = std::variant<std::string, bool, double, CGPoint, CGSize, Element,
                               std::vector<Element>, std::vector<std::string>>;
    struct Node {
        std::map<std::string, Value> attributes; ///< others fail with -25205
        int32_t actionError = 0;
        std::vector<std::string> actionNames;
    };

    // The script.
    CGPoint pointer{};
    io_service_t hidService = 0x2203; ///< 0: no IOHIDSystem
    kern_return_t openStatus = 0;
    kern_return_t postStatus = 0;
    std::vector<std::pair<std::string, pid_t>> processes; ///< an empty name cannot be read
    std::map<pid_t, int> applications;                    ///< the node of a pid's element
    std::vector<Node> nodes;

    std::vector<std::string> calls;
    /// The kinds of the objects still holding a reference ("event", "string", ...).
    std::vector<std::string> live() const;
    /// Back to an empty script and record.
    void reset();
};

AppleCalls& apple();

} // namespace pointrelay::test
