#pragma once
// One channel of the particle records of a cache file (a .bin field, a .vdb point attribute or
// group, a .ply vertex property), read whole so that a script can see what the file carries
// beside what the scene holds. Every format's reader fills it; the session puts it in the order
// of a frame's particles.

#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>

namespace kavrin {

// Which particle value a channel carries, for the channels a scene edits.
enum class channel_role {
    other,     // passed through as read
    position,  // x, y, z, or one of them (component)
    scale,
};

struct record_channel {
    QString name;
    char kind = 'f';    // numeric kind, as numpy spells it: 'f' float, 'i' signed, 'u' unsigned,
                        // 'b' bool
    int item_size = 4;  // bytes of one component
    int width = 1;      // components per record
    channel_role role = channel_role::other;
    int component = -1;  // a position channel of width 1: which coordinate it holds (0, 1, 2)
    QByteArray values;   // every record's components in record order, native byte order

    int record_size() const { return item_size * width; }
};

// What a file offers: the names of its channels, the one asked for when it is among them, and
// the particle id of each record as the format's reader gives it (with that channel only).
struct record_channels {
    std::vector<QString> names;
    std::optional<record_channel> found;
    std::vector<int32_t> ids;
};

// Stores a number into one component of the kind and size given: integers rounded and clamped
// to their range, bools as 0 or 1.
void put_component(double value, char kind, int item_size, char* at);

}  // namespace kavrin
