#include "base/brush_kind.h"

namespace kavrin {

QLatin1String brush_name(brush_kind k) {
    switch (k) {
        case brush_kind::normal: return QLatin1String("normal");
        case brush_kind::grab: return QLatin1String("grab");
        case brush_kind::converge: return QLatin1String("converge");
        case brush_kind::remove: return QLatin1String("remove");
        case brush_kind::scale: return QLatin1String("scale");
    }
    return QLatin1String("grab");
}

std::optional<brush_kind> parse_brush_kind(QStringView name) {
    for (brush_kind k : brush_kinds)
        if (name == brush_name(k)) return k;
    return std::nullopt;
}

const QStringList& brush_names() {
    static const QStringList names = [] {
        QStringList out;
        for (brush_kind k : brush_kinds)
            out << brush_name(k);
        return out;
    }();
    return names;
}

}  // namespace kavrin
