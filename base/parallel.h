#pragma once
// Parallel work on one bounded pool of kept worker threads.
//  - parallel_for deals the items 0..count-1 of a job round-robin to shares (item i to share
//    i mod threads) and returns when every share is done; the calling thread runs shares too.
//  - post runs a task in the background, counted in a job_group until it has ended.
// A share or task that throws ends there; the program goes on and the job's listener hears of
// the failure as a job_failure.

#include <condition_variable>
#include <cstdint>
#include <functional>

#include <QString>

#include "base/mutex.h"

namespace kavrin {

// A share or task that ended by an exception: the job's name and what went wrong.
struct job_failure {
    QString job;
    QString message;
    // "job error / <job> / <message>", the log line that reports it.
    QString log_line() const;
};

// Whoever hears of failed work. Called on the thread where the work failed.
class failure_listener {
  public:
    virtual ~failure_listener() = default;
    virtual void job_failed(const job_failure& failure) = 0;
};

// The name a job goes by in its failures, and who hears of them (none when null).
struct job_site {
    const char* name;
    failure_listener* listener;
};

// One share of a job: the items first, first + stride, ... below end, in ascending order.
class share {
  public:
    class iterator {
      public:
        iterator(int64_t item, int64_t stride) : item_(item), stride_(stride) {}
        int operator*() const { return int(item_); }
        iterator& operator++() {
            item_ += stride_;
            return *this;
        }
        // Iteration ends at the first item at or past the end, which need not equal it.
        bool operator!=(const iterator& end) const { return item_ < end.item_; }

      private:
        int64_t item_, stride_;
    };

    share(int first, int stride, int end) : first_(first), stride_(stride), end_(end) {}
    iterator begin() const { return {first_, stride_}; }
    iterator end() const { return {end_, stride_}; }

  private:
    int first_, stride_, end_;
};

// Background work that its owner waits for before it goes.
class job_group {
  public:
    job_group() = default;
    job_group(const job_group&) = delete;
    job_group& operator=(const job_group&) = delete;
    ~job_group() { wait(); }

    // Blocks until every task posted to the group has ended.
    void wait() const;
    // Tasks posted to the group that have not ended yet.
    int alive() const;

  private:
    friend void post(const job_site&, job_group&, std::function<void()>);
    void started();
    // The last a task does with its group: the group may be gone once it returns.
    void ended();

    mutable mutex lock_;
    mutable std::condition_variable_any none_alive_;
    int alive_ KAVRIN_GUARDED_BY(lock_) = 0;
};

// Runs fn once per non-empty share of `count` items dealt to `threads` shares (at least 1) and
// returns when all are done. Each share runs on one thread, so the work of a share, and what it
// adds up, does not depend on how many threads the pool has. May be called from a share or task.
void parallel_for(const job_site& site, int count, int threads,
                  const std::function<void(const share&)>& fn);

// Runs task on a worker thread, counted in group until it has ended. Tasks start in the order
// they were posted, ahead of the shares of waited jobs.
void post(const job_site& site, job_group& group, std::function<void()> task);

// The most worker threads the pool keeps: twice the machine's cores.
int pool_limit();

}  // namespace kavrin
