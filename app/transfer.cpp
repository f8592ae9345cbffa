#include "app/transfer.h"

#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace kavrin {

transfer::transfer(std::function<void(transfer_control&)> work, QObject* parent) : QObject(parent) {
    thread_ = QThread::create([this, work = std::move(work)] { work(control); });
    // Queued to this object's thread: the handlers run on the GUI thread, after the work.
    connect(thread_, &QThread::finished, this, &transfer::finished, Qt::QueuedConnection);
    thread_->start();
}

transfer::~transfer() {
    // The scripts look at the cancel flag every few hundredths of a second, so this is short.
    control.cancel = true;
    thread_->wait();
    delete thread_;
}

bool transfer::running() const {
    return !thread_->isFinished();
}

bool transfer::wait(int ms) {
    // The finished() handlers run in the loop below and may delete this object.
    const QPointer<transfer> self(this);
    if (!running()) return true;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(thread_, &QThread::finished, &loop, &QEventLoop::quit);
    limit.start(ms);
    if (running()) loop.exec();
    return !self || !running();
}

}  // namespace kavrin
