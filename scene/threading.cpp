#include "scene/threading.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <QMutex>

#include "scene/emitter.h"
#include "dynamics/frame_set.h"
#include "base/strict.h"
#include "dynamics/deform.h"
#include "dynamics/grid_fields.h"
#include "dynamics/level_index.h"
#include "dynamics/octree.h"

namespace kavrin {

namespace {

// Unwaited shares not deleted yet, by target object, and whether each has ended, so that an
// owner can wait for them before it is freed. Guarded by live_lock; live_ended is signalled when
// a share ends.
std::mutex live_lock;
std::condition_variable live_ended;
std::unordered_map<void*, std::unordered_map<threading*, bool>> live_threads;

using emitter_handler = void (*)(emitter&, const std::vector<int>&, const job_args&);
using frame_handler = void (*)(frame_set&, const boost::any&, const std::vector<int>&);

template <class T>
const std::vector<T>& list_arg(const boost::any& a) {
    return *boost::any_cast<std::vector<T>*>(a);
}

template <class T>
const T& item(const std::vector<T>& list, int i) {
    if (i < 0 || size_t(i) >= list.size()) throw std::out_of_range(bad_subscript_message);
    return list[size_t(i)];
}

const std::unordered_map<QString, emitter_handler>& emitter_table() {
    static const std::unordered_map<QString, emitter_handler> table = {
        {"current particle",
         [](emitter& e, const std::vector<int>&, const job_args&) { e.current_particle(); }},
        {"clear queue",
         [](emitter& e, const std::vector<int>&, const job_args&) { e.clear_queue(); }},
        {"eat queue", [](emitter& e, const std::vector<int>&, const job_args&) { e.eat_queue(); }},
        {"add near", [](emitter& e, const std::vector<int>&, const job_args&) { e.near_worker(); }},
        {"remove undo",
         [](emitter& e, const std::vector<int>&, const job_args& args) { e.remove_undo(args); }},
        // Work of a layer above the scene, run on a worker of its emitter (which waits for it
        // before it goes): argument 0 is a std::function<void()>.
        {"task",
         [](emitter&, const std::vector<int>&, const job_args& args) {
             if (args.empty()) throw std::out_of_range(bad_subscript_message);
             boost::any_cast<const std::function<void()>&>(args[0])();
         }},
        {"build particle",
         [](emitter& e, const std::vector<int>& indices, const job_args& args) {
             if (args.empty()) throw std::out_of_range(bad_subscript_message);
             const auto& keys = boost::any_cast<const std::vector<int>&>(args[0]);
             for (int i : indices)
                 e.build_particle(keys, i);
         }},
    };
    return table;
}

const std::unordered_map<QString, frame_handler>& frame_table() {
    static const std::unordered_map<QString, frame_handler> table = {
        {"update particle",
         [](frame_set& fs, const boost::any& a, const std::vector<int>& idx) {
             const auto& list = list_arg<particle*>(a);
             for (int i : idx)
                 rehome(fs, *item(list, i));
         }},
        {"deform particle",
         [](frame_set&, const boost::any& a, const std::vector<int>& idx) {
             const stroke& s = *boost::any_cast<stroke*>(a);
             for (int i : idx)
                 deform(*item(s.particles, i), s);
         }},
        {"update collision",
         [](frame_set&, const boost::any& a, const std::vector<int>& idx) {
             const auto& list = list_arg<oct_tree*>(a);
             for (int i : idx)
                 update_bounds(*item(list, i));
         }},
        {"mid shape",
         [](frame_set& fs, const boost::any& a, const std::vector<int>& idx) {
             shape_slice(fs, list_arg<particle*>(a), idx);
         }},
        {"mid density",
         [](frame_set& fs, const boost::any& a, const std::vector<int>& idx) {
             density_slice(fs, list_arg<cell_key>(a), idx);
         }},
        {"mid normal",
         [](frame_set& fs, const boost::any& a, const std::vector<int>& idx) {
             normal_slice(fs, list_arg<cell_key>(a), idx);
         }},
    };
    return table;
}

window_link* window_of(void* target_object, const QString& target) {
    if (target == QLatin1String("emitter")) return static_cast<emitter*>(target_object)->window;
    if (target == QLatin1String("frame_set")) {
        const auto* owner = dynamic_cast<const emitter*>(static_cast<frame_set*>(target_object)->host);
        return owner ? owner->window : nullptr;
    }
    return nullptr;
}

// One share of a job: the command's handler over the share's indices. A share that fails ends
// here: the error is logged and the program goes on.
void run_share(void* target_object, const QString& target, const QString& command,
               const std::vector<int>& indices, const job_args& arguments) {
    auto fail = [&](const QString& message) {
        if (window_link* w = window_of(target_object, target))
            w->log("job error / " + command + " / " + message);
    };
    try {
        if (target == QLatin1String("emitter")) {
            auto it = emitter_table().find(command);
            if (it != emitter_table().end())
                it->second(*static_cast<emitter*>(target_object), indices, arguments);
        } else if (target == QLatin1String("frame_set")) {
            auto it = frame_table().find(command);
            if (it == frame_table().end()) return;
            if (arguments.empty()) throw std::out_of_range(bad_subscript_message);
            it->second(*static_cast<frame_set*>(target_object), arguments[0], indices);
        }
    } catch (const boost::bad_any_cast&) {
        fail("bad cast");
    } catch (const std::exception& e) {
        fail(QString::fromUtf8(e.what()));
    } catch (...) {
        fail("unknown");
    }
}

// A waited job: its shares, taken one at a time by the dispatching thread and the pool's workers.
struct batch {
    batch(void* object, const QString& target_, const QString& command_, const job_args& args,
          std::vector<std::vector<int>> shares_)
        : target_object(object),
          target(target_),
          command(command_),
          arguments(args),
          shares(std::move(shares_)) {}

    void* const target_object;
    const QString& target;
    const QString& command;
    const job_args& arguments;
    const std::vector<std::vector<int>> shares;
    size_t next = 0;  // first share not taken yet; guarded by the pool's lock
    size_t done = 0;  // shares finished; guarded by the pool's lock
    std::condition_variable finished;
};

// Worker threads kept for all jobs. An unwaited share (a task) always gets a worker of its own,
// made when none is idle. The thread that dispatches a waited job works on it too and takes the
// shares that no worker took yet, so a waited job dispatched from a worker never waits for a
// free one.
class worker_pool {
  public:
    ~worker_pool() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }

    void run(batch& b) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            queue_.push_back(&b);
            // Enough idle workers, besides those the queued tasks take, for every share but the
            // one this thread takes.
            spawn(int(b.shares.size()) - 1 - (idle_ - int(tasks_.size())));
        }
        wake_.notify_all();
        std::unique_lock<std::mutex> hold(lock_);
        while (b.next < b.shares.size()) {
            const size_t share = b.next++;
            hold.unlock();
            execute(b, share);
            hold.lock();
        }
        queue_.erase(std::find(queue_.begin(), queue_.end(), &b));
        b.finished.wait(hold, [&b] { return b.done == b.shares.size(); });
    }

    // Runs task on a worker of its own, at once.
    void post(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            tasks_.push_back(std::move(task));
            spawn(int(tasks_.size()) - idle_);
        }
        wake_.notify_all();
    }

  private:
    // New workers count as idle from the start, so that two quick posts do not both count on
    // the same one. Lock held.
    void spawn(int count) {
        for (; count > 0; --count) {
            ++idle_;
            threads_.emplace_back([this] { work(); });
        }
    }

    bool has_work() const {
        if (!tasks_.empty()) return true;
        for (const batch* b : queue_)
            if (b->next < b->shares.size()) return true;
        return false;
    }

    void execute(batch& b, size_t share) {
        run_share(b.target_object, b.target, b.command, b.shares[share], b.arguments);
        std::lock_guard<std::mutex> hold(lock_);
        if (++b.done == b.shares.size()) b.finished.notify_all();
    }

    void work() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            wake_.wait(hold, [this] { return stopping_ || has_work(); });
            if (stopping_) return;
            --idle_;
            // Tasks first: each was promised a worker when it was posted.
            if (!tasks_.empty()) {
                std::function<void()> task = std::move(tasks_.front());
                tasks_.pop_front();
                hold.unlock();
                task();
                hold.lock();
            } else {
                for (batch* b : queue_)
                    if (b->next < b->shares.size()) {
                        // A batch stays alive until its taken shares are done.
                        const size_t share = b->next++;
                        hold.unlock();
                        execute(*b, share);
                        hold.lock();
                        break;
                    }
            }
            ++idle_;
        }
    }

    std::mutex lock_;  // guards every field below and the queued batches' counters
    std::condition_variable wake_;
    std::deque<batch*> queue_;                 // batches with shares to take
    std::deque<std::function<void()>> tasks_;  // unwaited shares not started yet
    int idle_ = 0;                             // workers not running anything
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

worker_pool& pool() {
    static worker_pool workers;
    return workers;
}

}  // namespace

threading::threading(void* target_object_, const QString& target_, const QString& command_,
                     std::vector<int> indices_, const job_args* arguments_)
    : target_object(target_object_),
      indices(std::move(indices_)),
      target(target_),
      command(command_),
      arguments(arguments_ ? *arguments_ : job_args()) {}

threading::~threading() {
    std::lock_guard<std::mutex> hold(live_lock);
    auto it = live_threads.find(target_object);
    if (it == live_threads.end()) return;
    it->second.erase(this);
    if (it->second.empty()) live_threads.erase(it);
}

void threading::run() {
    run_share(target_object, target, command, indices, arguments);
}

void share_lib::finalize_thread() {
    auto* t = qobject_cast<threading*>(sender());
    if (!t) return;
    {
        // The share's worker may still be inside the emission that queued this call (a sender
        // must not be deleted while it emits): it marks the share ended once it is out.
        std::unique_lock<std::mutex> hold(live_lock);
        live_ended.wait(hold, [t] {
            auto object = live_threads.find(t->target_object);
            if (object == live_threads.end()) return true;
            auto share = object->second.find(t);
            return share == object->second.end() || share->second;
        });
    }
    delete t;
}

share_lib* job_receiver() {
    // Made on first use, which is on the main thread (the window dispatches all unwaited jobs).
    static share_lib receiver;
    return &receiver;
}

std::vector<std::vector<int>> deal_indices(int item_count, int thread_count) {
    if (thread_count < 1) thread_count = 1;
    std::vector<std::vector<int>> shares(static_cast<size_t>(thread_count));
    for (auto& share : shares)
        share.reserve(size_t(std::max(0, item_count)) / size_t(thread_count) + 1);
    for (int i = 0; i < item_count; ++i)
        shares[size_t(i % thread_count)].push_back(i);
    return shares;
}

void run_jobs(QObject* receiver, bool wait, int item_count, int thread_count, void* target_object,
              const QString& target, const QString& command, const job_args* arguments) {
    std::vector<std::vector<int>> shares = deal_indices(item_count, thread_count);
    shares.erase(std::remove_if(shares.begin(), shares.end(),
                                [](const std::vector<int>& s) { return s.empty(); }),
                 shares.end());
    if (wait) {
        // Each share still runs on one thread in ascending index order; the threads are kept.
        if (shares.empty()) return;
        const job_args none;
        batch b{target_object, target, command, arguments ? *arguments : none, std::move(shares)};
        pool().run(b);
        return;
    }

    for (auto& share : shares) {
        auto* t = new threading(target_object, target, command, std::move(share), arguments);
        {
            std::lock_guard<std::mutex> hold(live_lock);
            live_threads[target_object][t] = false;
        }
        // Delivered in the receiver's thread, after the share's work is over.
        QObject::connect(t, SIGNAL(ended()), receiver, SLOT(finalize_thread()));
        pool().post([t, target_object] {
            t->run();
            // The deletion is on its way before anyone waiting learns of the end; it waits for
            // the mark below, which is the last the worker does with t.
            Q_EMIT t->ended();
            {
                std::lock_guard<std::mutex> hold(live_lock);
                auto object = live_threads.find(target_object);
                if (object != live_threads.end()) {
                    auto share = object->second.find(t);
                    if (share != object->second.end()) share->second = true;
                }
            }
            live_ended.notify_all();
        });
    }
}

void wait_for_jobs(void* target_object) {
    std::unique_lock<std::mutex> hold(live_lock);
    live_ended.wait(hold, [target_object] {
        auto it = live_threads.find(target_object);
        if (it == live_threads.end()) return true;
        for (const auto& [t, ended] : it->second)
            if (!ended) return false;
        return true;
    });
}

int jobs_alive(void* target_object) {
    std::lock_guard<std::mutex> hold(live_lock);
    auto it = live_threads.find(target_object);
    return it == live_threads.end() ? 0 : int(it->second.size());
}

}  // namespace kavrin
