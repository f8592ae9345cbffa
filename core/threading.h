#pragma once
// Worker threads and job dispatch. A job is a target ("emitter" or "frame_set"), a command and
// an item count; run_jobs deals the item indices round-robin to threads, which call the
// command's handler, and either waits for them or lets them delete themselves when done.

#include <vector>

#include <QObject>
#include <QString>
#include <QThread>
#include <boost/any.hpp>

namespace kavrin {

using job_args = std::vector<boost::any>;

class threading : public QThread {
    Q_OBJECT
  public:
    threading(void* target_object, const QString& target, const QString& command,
              std::vector<int> indices, const job_args* arguments);
    ~threading() override;

    void* const target_object;  // the emitter or frame_set handled; not owned
    const std::vector<int> indices;
    const QString target;
    const QString command;
    const job_args arguments;  // this thread's own copy

  protected:
    void run() override;
};

// Receiver of unwaited threads: deletes the finished thread that signals it.
class share_lib : public QObject {
    Q_OBJECT
  public Q_SLOTS:
    void finalize_thread();
};

// The receiver that the program hands to unwaited jobs; it lives in the main thread.
share_lib* job_receiver();

// Item indices dealt round-robin: item i goes to share i mod thread_count.
std::vector<std::vector<int>> deal_indices(int item_count, int thread_count);

// A waited job runs its shares on kept worker threads and on the calling thread, and returns
// when all are done; an unwaited one starts a threading per share, which the receiver deletes
// when it has finished.
void run_jobs(QObject* receiver, bool wait, int item_count, int thread_count, void* target_object,
              const QString& target, const QString& command, const job_args* arguments);

// Blocks until every unwaited job on target_object has ended (called before freeing it).
void wait_for_jobs(void* target_object);
// Unwaited job threads of target_object not yet deleted.
int jobs_alive(void* target_object);

}  // namespace kavrin
