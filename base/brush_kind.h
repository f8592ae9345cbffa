#pragma once
// The five brush kinds. Text becomes a kind once, where it enters (settings, the stroke log, the
// panel, scripts); past that point a brush is this enum, so per-particle code never compares
// names.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <QLatin1String>
#include <QStringList>
#include <QStringView>

namespace kavrin {

enum class brush_kind : uint8_t { normal, grab, converge, remove, scale };

// Every kind in the order the panel and the settings list them.
inline constexpr std::array<brush_kind, 5> brush_kinds{brush_kind::normal, brush_kind::grab,
                                                       brush_kind::converge, brush_kind::remove,
                                                       brush_kind::scale};

// The particle value a kind changes: its position, weight or scale.
enum class brush_channel : uint8_t { position, weight, scale };

constexpr brush_channel channel_of(brush_kind k) {
    return k == brush_kind::remove  ? brush_channel::weight
           : k == brush_kind::scale ? brush_channel::scale
                                    : brush_channel::position;
}

// A kind that changes the channel (Grab for a position): what records and restores its values.
constexpr brush_kind kind_changing(brush_channel c) {
    return c == brush_channel::weight  ? brush_kind::remove
           : c == brush_channel::scale ? brush_kind::scale
                                       : brush_kind::grab;
}

// Whether a step of the kind moves particles along its vector (Normal and Grab).
constexpr bool brush_needs_vector(brush_kind k) {
    return k == brush_kind::normal || k == brush_kind::grab;
}

// The kind's name as settings, logs and scripts spell it: "normal", "grab", …
QLatin1String brush_name(brush_kind k);
// The kind named name, or none for a text that names no kind.
std::optional<brush_kind> parse_brush_kind(QStringView name);
// The kind's name in a missing-key message.
inline std::string key_name(brush_kind k) {
    return std::string(brush_name(k).data());
}
// Every name in brush_kinds order.
const QStringList& brush_names();

}  // namespace kavrin
