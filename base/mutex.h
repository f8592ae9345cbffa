#pragma once
// The engine's lock: a plain mutex that Clang's thread-safety analysis can follow, and the
// scoped hold that takes it.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <QMutex>

#include "base/thread_annotations.h"

namespace kavrin {

class KAVRIN_CAPABILITY("mutex") mutex {
  public:
    void lock() KAVRIN_ACQUIRE() { native_.lock(); }
    void unlock() KAVRIN_RELEASE() { native_.unlock(); }
    bool try_lock() KAVRIN_TRY_ACQUIRE(true) { return native_.try_lock(); }
    // Takes the lock, waiting for it or only when it is free; whether it is held.
    bool acquire(bool wait) KAVRIN_TRY_ACQUIRE(true) {
        if (!wait) return native_.try_lock();
        native_.lock();
        return true;
    }
    // Waits at most that long for the lock.
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) KAVRIN_TRY_ACQUIRE(true) {
        return native_.try_lock_for(wait);
    }

  private:
    friend class mutex_hold;
    // Qt's mutex is one word (a futex), where a standard one is 40 bytes: every octree cell
    // carries a lock, so on a 1M-particle frame that is about 2 bytes a particle. It waits
    // with a timeout too.
    QMutex native_;
};

// Holds a mutex from construction to destruction; may let it go and take it again meanwhile.
class KAVRIN_SCOPED_CAPABILITY mutex_hold {
  public:
    explicit mutex_hold(mutex& m) KAVRIN_ACQUIRE(m) : hold_(m.native_) {}
    // Takes over a mutex the caller locked (after a successful try_lock).
    mutex_hold(mutex& m, std::adopt_lock_t) KAVRIN_REQUIRES(m)
        : hold_(m.native_, std::adopt_lock) {}
    ~mutex_hold() KAVRIN_RELEASE() {}
    mutex_hold(const mutex_hold&) = delete;
    mutex_hold& operator=(const mutex_hold&) = delete;

    void unlock() KAVRIN_RELEASE() { hold_.unlock(); }
    void lock() KAVRIN_ACQUIRE() { hold_.lock(); }

    // Waits on c, the mutex let go meanwhile and held again when it returns.
    template <class Predicate>
    void wait(std::condition_variable_any& c, Predicate done) {
        c.wait(hold_, done);
    }

  private:
    std::unique_lock<QMutex> hold_;
};

}  // namespace kavrin
