#include "scene/window_link.h"

#include <sys/sysinfo.h>

#include <fstream>
#include <string>

namespace kavrin {

double window_link::available_memory() const {
    return system_available_memory();
}

double system_available_memory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line))
        if (line.rfind("MemAvailable:", 0) == 0) return std::stod(line.substr(13)) * 1024.0;
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0.0;
    return double(info.freeram) * info.mem_unit;
}

double system_total_memory() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0.0;
    return double(info.totalram) * info.mem_unit;
}

}  // namespace kavrin
