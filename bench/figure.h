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

/// Says that the figure `name` was not measured, and what is missing; false, for the exit
/// status: a figure without its samples is a failed run, never a ratio or a verdict.
inline bool g_allFiguresMeasured = true; ///< cleared by printMissing()

inline bool printMissing(const std::string& name, const std::string& what) {
    g_allFiguresMeasured = false;
    std::printf("  %-46s NO FIGURE: %s\n", name.c_str(), what.c_str());
    std::fflush(stdout);
    return false;
}

/// Prints the figure; false, through printMissing(), when the figure or its baseline is not a
/// measurement (negative, or a baseline of 0 to hold a goal against).
inline bool print(const Figure& f) {
    if (!(f.value >= 0) || !(f.baseline >= 0))
        return printMissing(f.name, !(f.value >= 0) ? "the figure was not measured"
                                                    : "the baseline was not measured");
    if (!f.goal.empty() && f.baseline == 0)
        return printMissing(f.name, "a baseline of 0 to hold the goal (" + f.goal + ") against");
    const double ratio = f.baseline != 0 ? f.value / f.baseline : 0;
    std::printf("  %-46s %14s   vs %-34s %14s   ratio %6.2f", f.name.c_str(),
                formatValue(f.value, f.unit).c_str(), f.baselineName.c_str(),
                formatValue(f.baseline, f.unit).c_str(), ratio);
    if (!f.goal.empty())
        std::printf("   goal %s: %s", f.goal.c_str(),
                    f.goalMet.value_or(false) ? "met" : "NOT MET");
    std::printf("\n");
    std::fflush(stdout);
    return true;
}

/// A benchmark's exit status: 1 when any figure was not measured.
inline int figuresStatus() {
    return g_allFiguresMeasured ? 0 : 1;
}

inline void heading(const char* title) {
    std::printf("\n%s\n", title);
    std::fflush(stdout);
}

} // namespace pointrelay::bench
