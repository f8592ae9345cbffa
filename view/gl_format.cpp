#include "view/gl_format.h"

#include <QSurfaceFormat>

namespace kavrin {

void use_viewport_gl_format() {
    // A core profile would refuse every fixed-function call.
    QSurfaceFormat format;
    format.setVersion(2, 1);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);
}

}  // namespace kavrin
