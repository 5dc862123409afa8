// The threads of one call of tavlomer_physics (its keyword `threads`): a team
// that shares out a range of independent items, started by the call and
// joined before it returns.  Plain C++, no interpreter: the caller keeps the
// interpreter's lock, its signals and its exceptions to itself.
//
// Threads are started per call rather than kept in a pool: starting one
// costs tens of microseconds, less than one chunk of work, and a team that
// never outlives its call needs nothing done at interpreter exit or after
// fork.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavlomer::physics_boundary {

// The CPUs this process may run on (its affinity mask), else the machine's
// count, and at least 1: what threads=0 asks for.
[[nodiscard]] std::size_t available_cpus() noexcept;

// Items [0, count) in chunks of `chunk` (the last one shorter), each chunk
// taken whole by one thread and run in order through calls of
// work(begin, end) of at most `grain` items; between those calls a thread
// looks whether it is asked to stop.  Which thread runs an item changes
// nothing but timing when every item is independent of the others, or (as a
// table's units are) depends only on items of the same chunk before it.
class Team {
public:
    using Work = std::function<void(std::size_t, std::size_t)>;

    // Starts up to `threads` threads (no more than there are chunks).  When
    // the system refuses a thread, the ones started do the work; started()
    // is 0 when it refuses the first.
    Team(std::size_t threads, std::size_t count, std::size_t chunk, std::size_t grain, Work work);
    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;
    // Stops and joins whatever still runs.
    ~Team() { stop(); }

    [[nodiscard]] std::size_t started() const noexcept { return threads_.size(); }
    // True once every thread has finished, waiting at most `timeout`.
    [[nodiscard]] bool wait_for(std::chrono::milliseconds timeout);
    // Asks the threads to stop after their current piece of work, and joins
    // them: on return no thread of the team runs.
    void stop() noexcept;

private:
    void run() noexcept;

    std::size_t count_, chunk_, grain_;
    Work work_;
    std::atomic<std::size_t> next_{0};  // the first item of the next chunk
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable finished_;
    std::size_t running_ = 0;  // guarded by mutex_
    std::vector<std::thread> threads_;
};

}  // namespace tavlomer::physics_boundary
