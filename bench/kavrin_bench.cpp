// kavrin-bench: measures every figure it knows, or the ones named on the command line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include <QApplication>
#include <QCoreApplication>

#include "figure.h"

namespace kavrin::bench {

std::vector<figure>& figures() {
    static std::vector<figure> all;
    return all;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : 0.5 * (values[mid - 1] + values[mid]);
}

double now_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

namespace {

double status_mb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) / 1024.0;
    return 0.0;
}

}  // namespace

double peak_rss_mb() {
    return status_mb("VmHWM:");
}

double resident_mb() {
    return status_mb("VmRSS:");
}

}  // namespace kavrin::bench

int main(int argc, char** argv) {
    using namespace kavrin::bench;
    // Viewport figures need a GUI application, and that needs a display.
    const bool display = std::getenv("DISPLAY") != nullptr;
    std::unique_ptr<QCoreApplication> app(display ? new QApplication(argc, argv)
                                                  : new QCoreApplication(argc, argv));
    std::set<std::string> wanted(argv + 1, argv + argc);
    for (const std::string& name : wanted) {
        const bool known = std::any_of(figures().begin(), figures().end(),
                                       [&](const figure& f) { return f.name == name; });
        if (!known) std::cerr << "kavrin-bench: unknown figure " << name << "\n";
    }
    for (const figure& f : figures()) {
        if (!wanted.empty() && !wanted.count(f.name)) continue;
        if (f.needs_display && !display) {
            std::cerr << f.name << ": skipped, no display (run under xvfb-run)\n";
            continue;
        }
        std::cerr << f.name << ": measuring\n";
        const double value = f.measure();
        std::printf("%s %.3g %s\n", f.name.c_str(), value, f.unit.c_str());
        std::fflush(stdout);
    }
    return 0;
}
