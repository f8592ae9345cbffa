#include <QApplication>
#include <QSurfaceFormat>
#include <QTimer>

#include "app/kavrin.h"
#include "app/test_seams.h"

int main(int argc, char** argv) {
    // Fixed-function drawing needs a compatibility context; it must be asked for before the
    // application exists.
    QSurfaceFormat format;
    format.setVersion(2, 1);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);

    QApplication app(argc, argv);
    auto* window = new kavrin::kavrin;
    window->setAttribute(Qt::WA_DeleteOnClose);
    if (!window->startup()) {
        delete window;
        return 0;
    }
    kavrin::arm_test_seams(*window);
    return app.exec();
}
