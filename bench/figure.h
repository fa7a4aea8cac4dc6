// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace pointrelay::bench {

/// One measured figure, printed next to the baseline measured in the same run and their
/// ratio (figure / baseline), with the goal it is held against when there is one.
struct Figure {
    std::string name;
    double value = 0;
    std::string unit;
    std::string baselineName;
    double baseline = 0;
    std::string goal;            ///< e.g. "ratio <= 1.5"; empty when there is none
    std::optional<bool> goalMet; ///< set with the goal
};

inline std::string formatValue(double value, const std::string& unit) {
    char text[64];
    if (value >= 1e6)
        std::snprintf(text, sizeof text, "%.3g M%s", value / 1e6, unit.c_str());
    else if (value >= 100)
        std::snprintf(text, sizeof text, "%.0f %s", value, unit.c_str());
    else
        std::snprintf(text, sizeof text, "%.3g %s", value, unit.c_str());
    return text;
}

inline void print(const Figure& f) {
    const double ratio = f.baseline != 0 ? f.value / f.baseline : 0;
    std::printf("  %-46s %14s   vs %-34s %14s   ratio %6.2f", f.name.c_str(),
                formatValue(f.value, f.unit).c_str(), f.baselineName.c_str(),
                formatValue(f.baseline, f.unit).c_str(), ratio);
    if (!f.goal.empty())
        std::printf("   goal %s: %s", f.goal.c_str(),
                    f.goalMet.value_or(false) ? "met" : "NOT MET");
    std::printf("\n");
    std::fflush(stdout);
}

inline void heading(const char* title) {
    std::printf("\n%s\n", title);
    std::fflush(stdout);
}

} // namespace pointrelay::bench
