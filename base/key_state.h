#pragma once
// Held state of the modifier keys "alt", "ctrl" and "shift". Reading a name that was never set
// is an error, as in every strict look-up; the fixed names keep the per-particle checks cheap.

#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "base/strict.h"

namespace kavrin {

class key_state {
  public:
    static constexpr std::string_view names[3] = {"alt", "ctrl", "shift"};

    // All three names present and released: the window's map after construction.
    static key_state released() {
        key_state k;
        k.present_ = 7;
        return k;
    }

    bool at(std::string_view name) const {
        const uint8_t bit = bit_of(name);
        if (!(present_ & bit))
            throw std::out_of_range(missing_key_message(key_name(name), "the key state"));
        return held_ & bit;
    }
    void set(std::string_view name, bool held) {
        const uint8_t bit = bit_of(name);
        present_ |= bit;
        held_ = held ? (held_ | bit) : (held_ & ~bit);
    }
    bool empty() const { return present_ == 0; }
    void clear() { present_ = held_ = 0; }
    bool operator==(const key_state& o) const { return present_ == o.present_ && held_ == o.held_; }
    bool operator!=(const key_state& o) const { return !(*this == o); }

  private:
    static uint8_t bit_of(std::string_view name) {
        for (int i = 0; i < 3; ++i)
            if (names[i] == name) return uint8_t(1u << i);
        throw std::out_of_range(missing_key_message(key_name(name), "the modifier key names"));
    }
    uint8_t present_ = 0;
    uint8_t held_ = 0;
};

}  // namespace kavrin
