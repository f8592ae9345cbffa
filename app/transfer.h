#pragma once
// Calls to the download server, made on a thread of their own so that the window never waits
// for the server: a chain of script calls runs there with one transfer control, and the window
// hears on the GUI thread when it has ended.

#include <functional>

#include <QObject>

#include "exchange/script_bridge.h"

class QThread;

namespace kavrin {

class transfer : public QObject {
    Q_OBJECT
  public:
    // Starts work on its own thread at once. work must not touch widgets: it gets copies of
    // what it needs and leaves its findings where the finished() handler reads them.
    transfer(std::function<void(transfer_control&)> work, QObject* parent = nullptr);
    // Cancels the work and waits until its thread has ended.
    ~transfer() override;

    transfer_control control;

    bool running() const;
    // Turns the event loop until the work has ended or ms have passed; whether it ended. The
    // finished() handlers may run meanwhile and delete this object.
    bool wait(int ms);

  Q_SIGNALS:
    // The work has ended; delivered on the thread that made this object.
    void finished();

  private:
    QThread* thread_ = nullptr;  // owned; ended before this object is
};

}  // namespace kavrin
