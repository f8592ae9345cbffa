#pragma once
// The benchmark's figures: each registers a name, a unit and how to measure it. The program
// prints "<figure> <value> <unit>" per figure on standard output and nothing else there.

#include <functional>
#include <string>
#include <vector>

namespace kavrin::bench {

struct figure {
    std::string name;
    std::string unit;
    std::function<double()> measure;
    bool needs_display = false;
};

std::vector<figure>& figures();

struct add_figure {
    add_figure(std::string name, std::string unit, std::function<double()> measure,
               bool needs_display = false) {
        figures().push_back({std::move(name), std::move(unit), std::move(measure), needs_display});
    }
};

// Median of the values, for figures measured over repeats.
double median(std::vector<double> values);
// Seconds since an arbitrary start, from a steady clock.
double now_seconds();
// Peak resident memory of this process in MB (VmHWM), and the resident memory now (VmRSS).
double peak_rss_mb();
double resident_mb();

}  // namespace kavrin::bench
