#include "lib/physics_boundary/team.hpp"

#include <sched.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace tavlomer::physics_boundary {

std::size_t available_cpus() noexcept {
    // The affinity mask, as os.sched_getaffinity reads it: under a CPU
    // quota set by taskset or a container's cpuset, fewer than the machine's.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        if (const int cpus = CPU_COUNT(&set); cpus > 0) return static_cast<std::size_t>(cpus);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

Team::Team(std::size_t threads, std::size_t count, std::size_t chunk, std::size_t grain, Work work)
    : count_(count),
      chunk_(std::max<std::size_t>(1, chunk)),
      grain_(std::max<std::size_t>(1, grain)),
      work_(std::move(work)) {
    const std::size_t chunks = count_ / chunk_ + (count_ % chunk_ != 0);
    const std::size_t wanted = std::min(threads, chunks);
    threads_.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
        {
            const std::lock_guard lock(mutex_);
            ++running_;
        }
        try {
            threads_.emplace_back([this] { run(); });
        } catch (const std::system_error&) {
            // Out of threads (EAGAIN): the ones started share the work.
            const std::lock_guard lock(mutex_);
            --running_;
            break;
        }
    }
}

void Team::run() noexcept {
    while (!stopping_.load(std::memory_order_relaxed)) {
        const std::size_t begin = next_.fetch_add(chunk_, std::memory_order_relaxed);
        if (begin >= count_) break;
        const std::size_t end = std::min(count_, begin + std::min(chunk_, count_ - begin));
        for (std::size_t at = begin; at < end;) {
            if (stopping_.load(std::memory_order_relaxed)) break;
            const std::size_t piece = std::min(end, at + grain_);
            work_(at, piece);
            at = piece;
        }
    }
    // Notified under the lock: the waiter may destroy the team as soon as it
    // sees running_ reach 0.
    const std::lock_guard lock(mutex_);
    --running_;
    finished_.notify_all();
}

bool Team::wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

void Team::stop() noexcept {
    stopping_.store(true, std::memory_order_relaxed);
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    threads_.clear();
}

}  // namespace tavlomer::physics_boundary
