#include "exchange/record_channel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kavrin {

namespace {

template <class T>
void put_integer(double value, char* at) {
    const double lo = double(std::numeric_limits<T>::lowest());
    const double hi = double(std::numeric_limits<T>::max());
    // Beyond 2^53 the double bounds round up, past what T holds: the ends are set directly.
    const double v = std::round(value);
    const T stored = std::isnan(v) ? T(0)
                     : v <= lo     ? std::numeric_limits<T>::lowest()
                     : v >= hi     ? std::numeric_limits<T>::max()
                                   : T(v);
    std::memcpy(at, &stored, sizeof stored);
}

}  // namespace

void put_component(double value, char kind, int item_size, char* at) {
    if (kind == 'f') {
        if (item_size == 8) {
            std::memcpy(at, &value, 8);
        } else {
            const float v = float(value);
            std::memcpy(at, &v, 4);
        }
        return;
    }
    if (kind == 'b') {
        *at = value != 0.0 ? 1 : 0;
        return;
    }
    const bool is_signed = kind == 'i';
    switch (item_size) {
        case 1:
            return is_signed ? put_integer<int8_t>(value, at) : put_integer<uint8_t>(value, at);
        case 2:
            return is_signed ? put_integer<int16_t>(value, at) : put_integer<uint16_t>(value, at);
        case 4:
            return is_signed ? put_integer<int32_t>(value, at) : put_integer<uint32_t>(value, at);
        default:
            return is_signed ? put_integer<int64_t>(value, at) : put_integer<uint64_t>(value, at);
    }
}

}  // namespace kavrin
