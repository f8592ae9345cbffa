#include <QApplication>
#include <QTimer>

#include "app/kavrin.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    auto* window = new kavrin::kavrin;
    window->setAttribute(Qt::WA_DeleteOnClose);
    if (!window->startup()) return 0;
    window->show();
    // Test seam: close on our own after the given time, as a user would.
    const int autoclose_ms = qEnvironmentVariableIntValue("KAVRIN_AUTOCLOSE_MS");
    if (autoclose_ms > 0) QTimer::singleShot(autoclose_ms, window, &QWidget::close);
    return app.exec();
}
