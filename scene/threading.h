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

// One share of a job that is not waited for. Its work runs on a kept worker thread (see
// run_jobs); when it is over, ended() asks the receiver to delete it.
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
    const job_args arguments;  // this share's own copy

    // The share's work: the command's handler over its indices.
    void run() override;

  Q_SIGNALS:
    void ended();
};

// Receiver of unwaited jobs: deletes the ended share that signals it.
class share_lib : public QObject {
    Q_OBJECT
  public Q_SLOTS:
    void finalize_thread();
};

// The receiver that the program hands to unwaited jobs; it lives in the main thread.
share_lib* job_receiver();

// Item indices dealt round-robin: item i goes to share i mod thread_count.
std::vector<std::vector<int>> deal_indices(int item_count, int thread_count);

// Shares run on kept worker threads, so that neither a pass nor a brush step pays for starting
// threads (nor leaves the memory of fresh threads behind). A waited job runs its shares there
// and on the calling thread, and returns when all are done; an unwaited one makes a threading
// per share, which starts at once on a worker of its own and which the receiver deletes after
// it ended.
void run_jobs(QObject* receiver, bool wait, int item_count, int thread_count, void* target_object,
              const QString& target, const QString& command, const job_args* arguments);

// Blocks until every unwaited job on target_object has ended (called before freeing it).
void wait_for_jobs(void* target_object);
// Unwaited job shares of target_object not yet deleted.
int jobs_alive(void* target_object);

}  // namespace kavrin
