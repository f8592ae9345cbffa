#include "base/parallel.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <system_error>
#include <thread>
#include <typeinfo>
#include <vector>

#include <QThread>

namespace kavrin {

namespace {

// Runs work; an exception ends it and is reported to the site's listener.
template <class Work>
void run_reporting(const job_site& site, Work&& work) {
    auto fail = [&site](const QString& message) {
        if (site.listener) site.listener->job_failed({QString::fromUtf8(site.name), message});
    };
    try {
        work();
    } catch (const std::bad_cast&) {
        fail("bad cast");
    } catch (const std::exception& e) {
        fail(QString::fromUtf8(e.what()));
    } catch (...) {
        fail("unknown");
    }
}

// A waited job: its shares, taken one at a time by the dispatching thread and the workers.
struct batch {
    batch(const job_site& site_, const std::function<void(const share&)>& fn_, int count_,
          int stride_)
        : site(site_), fn(fn_), count(count_), stride(stride_), shares(std::min(count_, stride_)) {}

    const job_site& site;
    const std::function<void(const share&)>& fn;
    const int count;
    const int stride;  // the number of shares dealt, empty ones included
    const int shares;  // the non-empty shares: min(count, stride)
    int next = 0;      // first share not taken yet; guarded by the pool's lock
    int done = 0;      // shares finished; guarded by the pool's lock
    std::condition_variable_any finished;
};

// Worker threads kept for all jobs, at most `limit` of them. Threads are started when work
// finds none idle; a thread the system refuses leaves the pool smaller, never the work undone:
// the thread that dispatches a waited job takes every share that no worker took, and a task
// posted while the pool has no thread at all runs on the posting thread.
class worker_pool {
  public:
    // Room for the most threads up front: starting one never needs the list to grow.
    explicit worker_pool(int limit) : limit_(limit) { threads_.reserve(size_t(limit)); }

    ~worker_pool() {
        std::vector<std::thread> ending;
        {
            mutex_hold hold(lock_);
            stopping_ = true;
            ending.swap(threads_);
        }
        wake_.notify_all();
        for (std::thread& t : ending)
            t.join();
    }

    void run(batch& b) {
        {
            mutex_hold hold(lock_);
            // Idle workers, besides those the queued tasks take, for every share but the one
            // this thread takes.
            grow(b.shares - 1 - (idle_ - int(tasks_.size())));
            queue_.push_back(&b);
        }
        wake_.notify_all();
        mutex_hold hold(lock_);
        while (b.next < b.shares) {
            const int taken = b.next++;
            hold.unlock();
            execute(b, taken);
            hold.lock();
        }
        queue_.erase(std::find(queue_.begin(), queue_.end(), &b));
        hold.wait(b.finished, [&b] { return b.done == b.shares; });
    }

    void post(std::function<void()> task) {
        {
            mutex_hold hold(lock_);
            grow(int(tasks_.size()) + 1 - idle_);
            if (!threads_.empty()) {
                tasks_.push_back(std::move(task));
                task = nullptr;
            }
        }
        if (task)
            task();
        else
            wake_.notify_one();
    }

  private:
    // Starts up to `count` workers within the limit. New workers count as idle from the start,
    // so that two quick posts do not both count on the same one.
    void grow(int count) KAVRIN_REQUIRES(lock_) {
        for (; count > 0 && int(threads_.size()) < limit_; --count) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                return;  // refused: the work is done by fewer threads
            }
            ++idle_;
        }
    }

    bool has_work() const KAVRIN_REQUIRES(lock_) {
        if (!tasks_.empty()) return true;
        for (const batch* b : queue_)
            if (b->next < b->shares) return true;
        return false;
    }

    void execute(batch& b, int taken) {
        run_reporting(b.site, [&b, taken] { b.fn(share(taken, b.stride, b.count)); });
        mutex_hold hold(lock_);
        // The dispatcher frees b once it sees the last share done, which needs this lock.
        if (++b.done == b.shares) b.finished.notify_all();
    }

    void work() {
        mutex_hold hold(lock_);
        for (;;) {
            hold.wait(wake_, [this]() KAVRIN_REQUIRES(lock_) { return stopping_ || has_work(); });
            if (stopping_) return;
            --idle_;
            if (!tasks_.empty()) {
                std::function<void()> task = std::move(tasks_.front());
                tasks_.pop_front();
                hold.unlock();
                task();
                task = nullptr;  // what the task holds goes before the worker counts as idle
                hold.lock();
            } else {
                for (batch* b : queue_)
                    if (b->next < b->shares) {
                        // A batch stays alive until its taken shares are done.
                        const int taken = b->next++;
                        hold.unlock();
                        execute(*b, taken);
                        hold.lock();
                        break;
                    }
            }
            ++idle_;
        }
    }

    const int limit_;
    mutex lock_;  // guards every field below and the queued batches' counters
    std::condition_variable_any wake_;
    std::deque<batch*> queue_ KAVRIN_GUARDED_BY(lock_);  // waited jobs with shares to take
    // Posted tasks not started yet.
    std::deque<std::function<void()>> tasks_ KAVRIN_GUARDED_BY(lock_);
    int idle_ KAVRIN_GUARDED_BY(lock_) = 0;  // workers not running anything
    bool stopping_ KAVRIN_GUARDED_BY(lock_) = false;
    std::vector<std::thread> threads_ KAVRIN_GUARDED_BY(lock_);
};

worker_pool& pool() {
    static worker_pool workers(pool_limit());
    return workers;
}

}  // namespace

QString job_failure::log_line() const {
    return "job error / " + job + " / " + message;
}

void job_group::wait() const {
    mutex_hold hold(lock_);
    hold.wait(none_alive_, [this]() KAVRIN_REQUIRES(lock_) { return alive_ == 0; });
}

int job_group::alive() const {
    mutex_hold hold(lock_);
    return alive_;
}

void job_group::started() {
    mutex_hold hold(lock_);
    ++alive_;
}

void job_group::ended() {
    mutex_hold hold(lock_);
    // Notified under the lock: a waiter cannot free the group before this thread is out.
    if (--alive_ == 0) none_alive_.notify_all();
}

int pool_limit() {
    // The cores this process may run on, as the thread-count settings count them.
    return 2 * std::max(1, QThread::idealThreadCount());
}

void parallel_for(const job_site& site, int count, int threads,
                  const std::function<void(const share&)>& fn) {
    if (count <= 0) return;
    const int stride = std::max(1, threads);
    if (stride == 1 || count == 1) {
        run_reporting(site, [&] { fn(share(0, stride, count)); });
        return;
    }
    batch b(site, fn, count, stride);
    pool().run(b);
}

void post(const job_site& site, job_group& group, std::function<void()> task) {
    group.started();
    pool().post([site, &group, task = std::move(task)]() mutable {
        run_reporting(site, task);
        task = nullptr;  // the task's captures go while its owner still waits for it
        group.ended();
    });
}

}  // namespace kavrin
