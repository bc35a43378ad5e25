#include "base/pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace tarsel::pool {
namespace {

// Per-worker scratch buffers and oneTBB's int-sized arena limit make an
// arbitrarily large pool unworkable (billions of slots never finish setting
// up), so larger requests are capped here.
constexpr std::size_t kMaxThreads = 1024;

// A positive integer from the environment (at most kMaxThreads), or 0 when
// unset or not one.
std::size_t env_threads(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || text[0] == '-') return 0;
    return static_cast<std::size_t>(std::min<unsigned long long>(value, kMaxThreads));
}

std::size_t configured_size() {
    if (std::size_t n = env_threads("RAYON_NUM_THREADS")) return n;
    if (std::size_t n = env_threads("RAYON_RS_NUM_CPUS")) return n;
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

struct Pool {
    std::size_t threads;
    // Lifts oneTBB's default cap (the CPU count) when the environment asks for more.
    std::unique_ptr<tbb::global_control> limit;
    std::unique_ptr<tbb::task_arena> arena;

    Pool() : threads(configured_size()) {
        limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                      threads);
        // One slot is reserved for the thread that submits the job, so the
        // caller works alongside threads - 1 workers.
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads), 1);
    }
};

Pool& instance() {
    // Function-local static: created once, thread-safely, on first use; left
    // alive at exit on purpose (never torn down).
    static Pool* pool = new Pool();
    return *pool;
}

}  // namespace

std::size_t size() { return instance().threads; }

std::size_t worker_index() {
    int idx = tbb::this_task_arena::current_thread_index();
    if (idx < 0) return 0;
    return static_cast<std::size_t>(idx) % instance().threads;
}

void parallel_for(std::size_t begin, std::size_t end, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body) {
    if (begin >= end) return;
    Pool& pool = instance();
    if (pool.threads == 1 || end - begin <= grain) {
        body(begin, end);
        return;
    }
    pool.arena->execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(begin, end, grain == 0 ? 1 : grain),
            [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    });
}

}  // namespace tarsel::pool
