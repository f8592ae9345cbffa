#include "base/cell_key.h"

#include <cmath>
#include <limits>

namespace kavrin {

int32_t key_component(double floored) {
    if (std::fabs(floored) < 999999.5) return int32_t(floored);
    if (std::isnan(floored)) return std::numeric_limits<int32_t>::min();
    // Round to the 6 significant digits that the text form keeps.
    const double shown = QString::number(floored, 'g', 6).toDouble();
    if (shown >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (shown <= -2147483647.0) return std::numeric_limits<int32_t>::min() + 1;
    return int32_t(shown);
}

QString key_text(const cell_key& k) {
    auto shown = [](int32_t c) { return QString::number(double(c), 'g', 6); };
    return shown(k.x) + "," + shown(k.y) + "," + shown(k.z);
}

}  // namespace kavrin
