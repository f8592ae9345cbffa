#include <QApplication>
#include <QTimer>

#include "app/kavrin.h"
#include "app/test_seams.h"
#include "view/gl_format.h"

int main(int argc, char** argv) {
    kavrin::use_viewport_gl_format();

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
