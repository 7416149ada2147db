// The sector protocol's semaphore: count 0 or 1. A release while the count is already 1 adds nothing
// (the sender then serves the latest request once), which std::binary_semaphore would treat as
// undefined behaviour; hence this small condition-variable version.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace dl {

class BinarySemaphore {
public:
    explicit BinarySemaphore(int initial = 1) : count_(initial > 0 ? 1 : 0) {}

    // Returns false when the count already stood at its maximum.
    bool release() {
        {
            std::lock_guard lock(m_);
            if (count_ == 1) return false;
            count_ = 1;
        }
        cv_.notify_one();
        return true;
    }
    void acquire() {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return count_ == 1; });
        count_ = 0;
    }
    // Waits for the count until stopped() says the wait is over. True when the count was taken; false
    // when stopped, leaving any count in place. A stop is noticed at the next release, so whoever
    // stops a waiter sets its flag first and then releases.
    template <class Stopped>
    bool acquireUnless(Stopped stopped) {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return count_ == 1 || stopped(); });
        if (stopped()) return false;
        count_ = 0;
        return true;
    }
    bool tryAcquireFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_);
        if (!cv_.wait_for(lock, timeout, [&] { return count_ == 1; })) return false;
        count_ = 0;
        return true;
    }
    int count() const {
        std::lock_guard lock(m_);
        return count_;
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    int count_;
};

}  // namespace dl
