// Kernel execution on the host device: CUDA's launch checks, the launch log, blocks spread over
// host worker threads, and cooperative execution of the threads of a block on fibers.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/context/detail/fcontext.hpp>

#include "hostdevice/control.hpp"
#include "hostdevice/internal.hpp"
#include "hostdevice/launch.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define HOSTDEVICE_ASAN 1
#endif

#ifndef HOSTDEVICE_FIBER_STACK_KIB
#define HOSTDEVICE_FIBER_STACK_KIB 256
#endif

namespace ctx = boost::context::detail;

namespace hostdevice {
namespace {

constexpr unsigned kMaxThreadsPerBlock = 1024;
constexpr unsigned kMaxBlockZ = 64;
constexpr unsigned kMaxGridX = 2147483647u;
constexpr unsigned kMaxGridYZ = 65535;
constexpr std::size_t kMaxDynamicShared = 48 * 1024;
// Shared memory starts every block with a pattern that reads as NaN, as stale data would.
constexpr unsigned char kSharedFill = 0xFF;
// Launches smaller than this run on the launching thread alone.
constexpr std::uint64_t kParallelThreshold = 1 << 15;

[[noreturn]] void fatal(const char* what, const char* kernel) {
    std::fprintf(stderr, "hostdevice: %s (kernel %s)\n", what, kernel ? kernel : "?");
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------- launch log

struct LaunchLog {
    std::mutex mutex;
    std::deque<LaunchRecord> records;
    std::uint64_t count = 0;
    int injected_skips = 0;  // valid launches still to accept before the injected failures
    int injected_failures = 0;
    cudaError_t injected_error = cudaSuccess;
};

LaunchLog& launch_log_state() {
    static LaunchLog* log = new LaunchLog();
    return *log;
}

// Takes one injected failure, if any is pending.
cudaError_t injected_failure() {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.injected_failures == 0) return cudaSuccess;
    if (log.injected_skips > 0) {
        --log.injected_skips;
        return cudaSuccess;
    }
    --log.injected_failures;
    return log.injected_error;
}

void log_launch(const char* name, const LaunchConfig& config, int device, bool accepted) {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.records.size() == kLaunchLogLimit) log.records.pop_front();
    log.records.push_back(LaunchRecord{name, config.grid, config.block, config.shared_bytes, device, accepted});
    ++log.count;
}

cudaError_t check_configuration(const LaunchConfig& c) {
    const dim3 g = c.grid;
    const dim3 b = c.block;
    if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return cudaErrorInvalidConfiguration;
    if (b.x > kMaxThreadsPerBlock || b.y > kMaxThreadsPerBlock || b.z > kMaxBlockZ)
        return cudaErrorInvalidConfiguration;
    if (std::uint64_t(b.x) * b.y * b.z > kMaxThreadsPerBlock) return cudaErrorInvalidConfiguration;
    if (g.x > kMaxGridX || g.y > kMaxGridYZ || g.z > kMaxGridYZ) return cudaErrorInvalidConfiguration;
    if (c.shared_bytes > kMaxDynamicShared) return cudaErrorInvalidValue;
    return cudaSuccess;
}

// ---------------------------------------------------------------- fibers

struct Stack {
    void* bottom = nullptr;
    std::size_t size = 0;
};

// Fiber stacks are kept per host thread and reused by every cooperative launch on it.
class StackPool {
  public:
    ~StackPool() {
        for (Stack& s : free_) unmap(s);
    }
    Stack acquire() {
        if (!free_.empty()) {
            Stack s = free_.back();
            free_.pop_back();
            return s;
        }
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t size = std::size_t(HOSTDEVICE_FIBER_STACK_KIB) * 1024;
        void* base =
            mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) fatal("cannot map a fiber stack", nullptr);
        mprotect(base, page, PROT_NONE);  // guard page below the stack
        return Stack{static_cast<char*>(base) + page, size};
    }
    void release(Stack s) {
#if defined(HOSTDEVICE_ASAN)
        // A finished fiber leaves poisoned frames behind; the next fiber starts clean.
        __asan_unpoison_memory_region(s.bottom, s.size);
#endif
        free_.push_back(s);
    }

  private:
    static void unmap(Stack& s) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        munmap(static_cast<char*>(s.bottom) - page, s.size + page);
    }
    std::vector<Stack> free_;
};

thread_local StackPool t_stacks;

enum class FiberState { Runnable, AtBarrier, Finished };

struct Fiber {
    ctx::fcontext_t self = nullptr;    // where this fiber resumes
    ctx::fcontext_t caller = nullptr;  // the scheduler, where it returns to
    Stack stack;
    FiberState state = FiberState::Runnable;
    bool exit = false;
    uint3 thread{0, 0, 0};
    ThreadFn fn = nullptr;
    const void* args = nullptr;
    const BlockContext* block = nullptr;
    const char* kernel = nullptr;
#if defined(HOSTDEVICE_ASAN)
    void* fake_stack = nullptr;
    const void* caller_bottom = nullptr;
    std::size_t caller_size = 0;
#endif
};

thread_local Fiber* t_fiber = nullptr;
thread_local const char* t_kernel = nullptr;

// Called on the fiber: hand control back to the scheduler until it resumes this fiber.
void yield_to_scheduler(Fiber* f) {
#if defined(HOSTDEVICE_ASAN)
    __sanitizer_start_switch_fiber(&f->fake_stack, f->caller_bottom, f->caller_size);
#endif
    ctx::transfer_t t = ctx::jump_fcontext(f->caller, f);
#if defined(HOSTDEVICE_ASAN)
    __sanitizer_finish_switch_fiber(f->fake_stack, &f->caller_bottom, &f->caller_size);
#endif
    f->caller = t.fctx;
}

void fiber_main(ctx::transfer_t t) noexcept {
    Fiber* f = static_cast<Fiber*>(t.data);
    f->caller = t.fctx;
#if defined(HOSTDEVICE_ASAN)
    __sanitizer_finish_switch_fiber(nullptr, &f->caller_bottom, &f->caller_size);
#endif
    while (!f->exit) {
        f->fn(f->args, *f->block, f->thread);
        f->state = FiberState::Finished;
        yield_to_scheduler(f);
    }
#if defined(HOSTDEVICE_ASAN)
    __sanitizer_start_switch_fiber(nullptr, f->caller_bottom, f->caller_size);  // this fiber ends
#endif
    ctx::jump_fcontext(f->caller, nullptr);
    fatal("a finished fiber was resumed", f->kernel);
}

// Called on the scheduler: run fiber f until it reaches a barrier or finishes its thread.
void resume(Fiber* f) {
    t_fiber = f;
#if defined(HOSTDEVICE_ASAN)
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, f->stack.bottom, f->stack.size);
#endif
    ctx::transfer_t t = ctx::jump_fcontext(f->self, f);
#if defined(HOSTDEVICE_ASAN)
    __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
    f->self = t.fctx;
    t_fiber = nullptr;
}

// The threads of one block as fibers, reused for every block this host thread runs.
class FiberBlock {
  public:
    FiberBlock(dim3 block_dim, ThreadFn fn, const void* args, const BlockContext* block, const char* kernel)
        : fibers_(std::size_t(block_dim.x) * block_dim.y * block_dim.z) {
        std::size_t i = 0;
        for (unsigned z = 0; z < block_dim.z; ++z)
            for (unsigned y = 0; y < block_dim.y; ++y)
                for (unsigned x = 0; x < block_dim.x; ++x, ++i) {
                    Fiber& f = fibers_[i];
                    f.thread = uint3{x, y, z};
                    f.fn = fn;
                    f.args = args;
                    f.block = block;
                    f.kernel = kernel;
                    f.stack = t_stacks.acquire();
                    f.self = ctx::make_fcontext(static_cast<char*>(f.stack.bottom) + f.stack.size, f.stack.size,
                                                &fiber_main);
                }
    }

    ~FiberBlock() {
        for (Fiber& f : fibers_) {
            f.exit = true;
            resume(&f);
            t_stacks.release(f.stack);
        }
    }

    // Runs every thread of the current block to its end, releasing barriers as they fill.
    void run() {
        for (Fiber& f : fibers_) f.state = FiberState::Runnable;
        for (;;) {
            for (Fiber& f : fibers_)
                if (f.state == FiberState::Runnable) resume(&f);
            bool waiting = false;
            for (Fiber& f : fibers_)
                if (f.state == FiberState::AtBarrier) {
                    f.state = FiberState::Runnable;
                    waiting = true;
                }
            // Threads that have exited count as arrived, as on current GPUs.
            if (!waiting) return;
        }
    }

  private:
    std::vector<Fiber> fibers_;
};

// ---------------------------------------------------------------- blocks over host threads

struct Job {
    LaunchConfig config;
    const char* kernel;
    bool cooperative;
    PlainBlockFn plain;
    ThreadFn thread;
    const void* args;
    std::uint64_t total_blocks;
    std::uint64_t chunk;
    std::atomic<std::uint64_t> next{0};

    void work() {
        const char* previous_kernel = t_kernel;
        t_kernel = kernel;
        std::unique_ptr<unsigned char[]> shared;
        if (config.shared_bytes) shared.reset(new unsigned char[config.shared_bytes]);
        BlockContext block{uint3{0, 0, 0}, config.grid, config.block, shared.get()};
        std::unique_ptr<FiberBlock> fibers;
        if (cooperative) fibers = std::make_unique<FiberBlock>(config.block, thread, args, &block, kernel);
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
                if (fibers)
                    fibers->run();
                else
                    plain(args, block);
            }
        }
        fibers.reset();
        t_kernel = previous_kernel;
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

// ---------------------------------------------------------------- public entry points

void launch_kernel(const LaunchConfig& config, const char* kernel_name, bool cooperative, PlainBlockFn plain,
                   ThreadFn thread, const void* args) {
    int device = -1;
    cudaError_t status = internal::current_device(&device);
    if (status == cudaSuccess) status = check_configuration(config);
    if (status == cudaSuccess) status = injected_failure();
    log_launch(kernel_name, config, device, status == cudaSuccess);
    if (status != cudaSuccess) {
        internal::record(status);
        return;
    }

    Job job{config, kernel_name, cooperative, plain, thread, args, 0, 1};
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
}

namespace detail {
void block_barrier() {
    Fiber* f = t_fiber;
    if (!f) fatal("__syncthreads called in a kernel launched without cooperative execution", t_kernel);
    f->state = FiberState::AtBarrier;
    yield_to_scheduler(f);
}
}  // namespace detail

void set_worker_count(int count) {
    Workers& w = workers();
    std::lock_guard<std::mutex> lock(w.config_mutex);
    w.requested = std::max(count, 0);
}

int worker_count() {
    Workers& w = workers();
    std::lock_guard<std::mutex> lock(w.config_mutex);
    return resolved_worker_count(w.requested);
}

void reset_workers() { set_worker_count(0); }

std::vector<LaunchRecord> launch_log() {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    return std::vector<LaunchRecord>(log.records.begin(), log.records.end());
}

void clear_launch_log() {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.records.clear();
}

std::uint64_t launch_count() {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.count;
}

void reset_launches() {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.records.clear();
    log.count = 0;
    log.injected_skips = 0;
    log.injected_failures = 0;
}

void inject_launch_failures(int count, cudaError_t error, int skip) {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.injected_skips = std::max(skip, 0);
    log.injected_failures = std::max(count, 0);
    log.injected_error = error;
}

}  // namespace hostdevice
