#include "hostdevice/workers.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hostdevice/fibers.hpp"
#include "hostdevice/thread_order.hpp"

namespace hostdevice {
namespace internal {
namespace {

// Shared memory starts every block with a pattern that reads as NaN, as stale data would.
constexpr unsigned char kSharedFill = 0xFF;
// Launches smaller than this run on the launching thread alone.
constexpr std::uint64_t kParallelThreshold = 1 << 15;

struct Job {
    LaunchConfig config;
    const KernelInfo& kernel;
    const internal::KernelImage& image;
    bool cooperative;
    PlainBlockFn plain;
    ThreadFn thread;
    const void* args;
    ThreadOrder order;
    std::uint64_t launch_number;
    std::uint64_t total_blocks = 0;
    std::uint64_t chunk = 1;
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> barriers{false};

    void work() {
        const RunningKernel running(kernel.name);
        std::unique_ptr<unsigned char[]> shared;
        if (config.shared_bytes) shared.reset(new unsigned char[config.shared_bytes]);
        // This host thread's copy of the kernel's static shared arrays.
        char* static_shared =
            image.static_shared.empty() ? nullptr : const_cast<char*>(static_cast<const char*>(kernel.anchor()));
        BlockContext block{uint3{0, 0, 0}, config.grid, config.block, shared.get(), nullptr};
        std::unique_ptr<FiberBlock> fibers;
        if (cooperative) fibers = std::make_unique<FiberBlock>(config.block, thread, args, &block, kernel.name);
        std::vector<uint3> index_order;  // the block's threads, x fastest
        std::vector<uint3> plain_order;
        if (!cooperative && order != ThreadOrder::Forward) {
            for (unsigned z = 0; z < config.block.z; ++z)
                for (unsigned y = 0; y < config.block.y; ++y)
                    for (unsigned x = 0; x < config.block.x; ++x) index_order.push_back(uint3{x, y, z});
            plain_order = index_order;
            arrange(plain_order, order, launch_number, 0, 0);
            block.order = plain_order.data();
        }
        const std::uint64_t gx = config.grid.x;
        const std::uint64_t gxy = gx * config.grid.y;
        for (;;) {
            const std::uint64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
            if (begin >= total_blocks) break;
            const std::uint64_t end = std::min(total_blocks, begin + chunk);
            for (std::uint64_t b = begin; b < end; ++b) {
                block.block_idx = uint3{static_cast<unsigned>(b % gx), static_cast<unsigned>((b / gx) % config.grid.y),
                                        static_cast<unsigned>(b / gxy)};
                if (shared) std::memset(shared.get(), kSharedFill, config.shared_bytes);
                for (const internal::StaticSharedRange& r : image.static_shared)
                    std::memset(static_shared + r.from_anchor, kSharedFill, r.bytes);
                if (fibers) {
                    if (fibers->run(order, launch_number, b)) barriers.store(true, std::memory_order_relaxed);
                    continue;
                }
                if (order == ThreadOrder::Shuffled) {
                    std::copy(index_order.begin(), index_order.end(), plain_order.begin());
                    arrange(plain_order, order, launch_number, b, 0);
                }
                plain(args, block);
            }
        }
    }
};

class WorkerPool {
  public:
    explicit WorkerPool(int helpers) {
        for (int i = 0; i < helpers; ++i) std::thread([this] { loop(); }).detach();
        helpers_ = helpers;
    }
    int helpers() const { return helpers_; }

    // Runs the job on the calling thread and every helper; returns when all are done.
    void run(Job& job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = &job;
            pending_ = helpers_;
            ++generation_;
        }
        wake_.notify_all();
        job.work();
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
        job_ = nullptr;
    }

  private:
    void loop() {
        std::uint64_t seen = 0;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return generation_ != seen; });
                seen = generation_;
                job = job_;
            }
            job->work();
            std::lock_guard<std::mutex> lock(mutex_);
            if (--pending_ == 0) done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job* job_ = nullptr;
    int pending_ = 0;
    std::uint64_t generation_ = 0;
    int helpers_ = 0;
};

struct Workers {
    std::mutex config_mutex;
    int requested = 0;  // 0: one per hardware thread
    std::mutex busy;    // one parallel launch at a time; other launching threads run alone
    WorkerPool* pool = nullptr;
    int pool_size = -1;
};

Workers& workers() {
    static Workers* w = new Workers();
    return *w;
}

int resolved_worker_count(int requested) {
    if (requested > 0) return requested;
    const unsigned hw = std::thread::hardware_concurrency();
    return hw ? static_cast<int>(hw) : 1;
}

}  // namespace

bool run_blocks(const LaunchConfig& config, const KernelInfo& kernel, const KernelImage& image, bool cooperative,
                PlainBlockFn plain, ThreadFn thread, const void* args, std::uint64_t launch_number) {
    Job job{config, kernel, image, cooperative, plain, thread, args, thread_order(), launch_number};
    job.total_blocks = std::uint64_t(config.grid.x) * config.grid.y * config.grid.z;
    const std::uint64_t threads_per_block = std::uint64_t(config.block.x) * config.block.y * config.block.z;

    Workers& w = workers();
    int count = 1;
    {
        std::lock_guard<std::mutex> lock(w.config_mutex);
        count = resolved_worker_count(w.requested);
    }
    const bool parallel =
        count > 1 && job.total_blocks > 1 && job.total_blocks * threads_per_block >= kParallelThreshold;
    std::unique_lock<std::mutex> busy(w.busy, std::defer_lock);
    if (parallel && busy.try_lock()) {
        if (!w.pool || w.pool_size != count) {
            // Helpers of an old pool stay parked; they never run again.
            w.pool = new WorkerPool(count - 1);
            w.pool_size = count;
        }
        job.chunk = std::max<std::uint64_t>(1, job.total_blocks / (std::uint64_t(count) * 16));
        w.pool->run(job);
    } else {
        job.chunk = job.total_blocks;
        job.work();
    }
    return job.barriers.load();
}

void reset_workers() { set_worker_count(0); }

}  // namespace internal

void set_worker_count(int count) {
    internal::Workers& w = internal::workers();
    std::lock_guard<std::mutex> lock(w.config_mutex);
    w.requested = std::max(count, 0);
}

int worker_count() {
    internal::Workers& w = internal::workers();
    std::lock_guard<std::mutex> lock(w.config_mutex);
    return internal::resolved_worker_count(w.requested);
}

}  // namespace hostdevice
