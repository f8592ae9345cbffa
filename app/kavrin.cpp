#include "app/kavrin.h"

#include <ctime>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace kavrin {

kavrin::kavrin() : generator(std::mt19937::result_type(std::time(nullptr))) {
    app_dir = QCoreApplication::applicationDirPath() + "/";
    resource_dir = app_dir + "resource/";
    image_dir = resource_dir + "image/";
    python_dir = resource_dir + "python/";
    tool_ini = resource_dir + "tool.ini";
    default_ini = resource_dir + "default.ini";
    debug_txt = resource_dir + "debug.txt";
    QDir().mkpath(resource_dir);
    log("start kavrin");
}

kavrin::~kavrin() = default;

bool kavrin::startup() {
    setWindowTitle("Kavrin - Rev." + revision);
    resize(1280, 800);
    return true;
}

brush_values kavrin::brush() const { return brush_values(); }

camera_values kavrin::camera() const { return camera_values(); }

void kavrin::log(const QString& line) {
    QMutexLocker hold(&log_lock);
    QFile file(debug_txt);
    if (!file.open(QIODevice::Append)) return;  // a log that cannot be opened loses the line
    file.write((line + "\r\n").toUtf8());
}

double kavrin::random() {
    QMutexLocker hold(&random_lock);
    return uniform(generator);
}

void kavrin::write_cache_frame(emitter&, int frame) {
    log("cache save / unavailable / " + QString::number(frame));
}

void kavrin::read_cache_frame(emitter&, int frame) {
    log("cache load / unavailable / " + QString::number(frame));
}

void kavrin::closeEvent(QCloseEvent* event) {
    scene.reset();  // waits for the scene's workers
    log("close kavrin");
    event->accept();
}

}  // namespace kavrin
