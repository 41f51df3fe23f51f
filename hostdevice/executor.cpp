// Kernel execution on the host device: CUDA's launch checks (configuration, the kernel's resources,
// pointer arguments), the launch log, blocks spread over host worker threads, the threads of a block
// in a chosen order, and cooperative execution of the threads of a block on fibers with the barrier
// discipline a GPU requires.
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
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <boost/context/detail/fcontext.hpp>

#include "hostdevice/control.hpp"
#include "hostdevice/internal.hpp"
#include "hostdevice/kernel_image.hpp"
#include "hostdevice/launch.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define HOSTDEVICE_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define HOSTDEVICE_TSAN 1
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
constexpr unsigned kWarpSize = 32;
constexpr unsigned kRegisterGranule = 8;  // registers are held per warp, 256 (8 a thread) at a time
// Shared memory starts every block with a pattern that reads as NaN, as stale data would.
constexpr unsigned char kSharedFill = 0xFF;
// Launches smaller than this run on the launching thread alone.
constexpr std::uint64_t kParallelThreshold = 1 << 15;

[[noreturn]] void fatal(const std::string& what, const char* kernel) {
    std::fprintf(stderr, "hostdevice: %s (kernel %s)\n", what.c_str(), kernel ? kernel : "?");
    std::fflush(stderr);
    std::abort();
}

std::string coordinates(uint3 v) {
    char text[48];
    std::snprintf(text, sizeof(text), "(%u,%u,%u)", v.x, v.y, v.z);
    return text;
}

// ---------------------------------------------------------------- thread order

ThreadOrder order_from_environment() {
    const char* value = std::getenv("HOSTDEVICE_THREAD_ORDER");
    ThreadOrder order = ThreadOrder::Forward;
    if (value && *value && !parse_thread_order(value, &order))
        fatal(std::string("HOSTDEVICE_THREAD_ORDER must be forward, reverse or shuffled, not '") + value + "'",
              nullptr);
    return order;
}

std::atomic<int>& order_setting() {
    static std::atomic<int> order{static_cast<int>(order_from_environment())};
    return order;
}

std::uint64_t mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Puts a block's threads, given in index order, in the order they run. A shuffled order depends
// only on the launch, the block and the phase, so it is the same whatever host thread runs the block.
template <class Thread>
void arrange(std::vector<Thread>& threads, ThreadOrder order, std::uint64_t launch, std::uint64_t block,
             std::uint64_t phase) {
    if (order == ThreadOrder::Reverse) std::reverse(threads.begin(), threads.end());
    if (order != ThreadOrder::Shuffled) return;
    std::uint64_t state = mix(launch) ^ mix(block * 0x100000001b3ull + phase);
    for (std::size_t i = threads.size(); i > 1; --i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;            // a 64-bit LCG; its high bits
        const std::size_t j = static_cast<std::size_t>(((state >> 32) * i) >> 32);  // pick j in [0, i)
        std::swap(threads[i - 1], threads[j]);
    }
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

// Records the launch; returns its number (counted from 1 since the process started).
std::uint64_t log_launch(const char* name, const LaunchConfig& config, int device, bool accepted) {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.records.size() == kLaunchLogLimit) log.records.pop_front();
    log.records.push_back(LaunchRecord{name, config.grid, config.block, config.shared_bytes, device, accepted});
    return ++log.count;
}

cudaError_t check_configuration(const LaunchConfig& c) {
    const dim3 g = c.grid;
    const dim3 b = c.block;
    if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return cudaErrorInvalidConfiguration;
    if (b.x > kMaxThreadsPerBlock || b.y > kMaxThreadsPerBlock || b.z > kMaxBlockZ)
        return cudaErrorInvalidConfiguration;
    if (std::uint64_t(b.x) * b.y * b.z > kMaxThreadsPerBlock) return cudaErrorInvalidConfiguration;
    if (g.x > kMaxGridX || g.y > kMaxGridYZ || g.z > kMaxGridYZ) return cudaErrorInvalidConfiguration;
    if (c.shared_bytes > kSharedBytesPerBlock) return cudaErrorInvalidValue;
    return cudaSuccess;
}

// ---------------------------------------------------------------- launched kernels

// With HOSTDEVICE_LAUNCHED_KERNELS naming a file, the names of the kernels launched are written
// there, one a line, when the process ends, each followed by a tab and "barriers" when its threads
// met at barriers: which kernels a run touches, without the Python module.
struct LaunchedKernels {
    std::mutex mutex;
    std::map<std::string, bool> names;
    std::string path;
};

LaunchedKernels* launched_kernels() {
    static LaunchedKernels* const launched = [] {
        const char* path = std::getenv("HOSTDEVICE_LAUNCHED_KERNELS");
        if (!path || !*path) return static_cast<LaunchedKernels*>(nullptr);
        auto* l = new LaunchedKernels();
        l->path = path;
        std::atexit([] {
            LaunchedKernels* l = launched_kernels();
            std::lock_guard<std::mutex> lock(l->mutex);
            if (FILE* f = std::fopen(l->path.c_str(), "w")) {
                for (const auto& [name, barriers] : l->names)
                    std::fprintf(f, "%s%s\n", name.c_str(), barriers ? "\tbarriers" : "");
                std::fclose(f);
            }
        });
        return l;
    }();
    return launched;
}

void note_launched(const char* name, bool barriers) {
    if (LaunchedKernels* l = launched_kernels()) {
        std::lock_guard<std::mutex> lock(l->mutex);
        l->names[name] |= barriers;
    }
}

// ---------------------------------------------------------------- kernel resources

struct Resources {
    std::mutex mutex;
    std::unordered_map<std::string, KernelResources> planted;  // by launch-log name
    std::unordered_map<std::string, KernelResources> applied;  // what launches of each kernel met
    std::set<std::string> unlisted;
};

Resources& resources_state() {
    static Resources* r = new Resources();
    return *r;
}

// The figures a launch of this kernel is checked against: planted, else the table's, else only what
// the host build itself knows (its static shared memory).
KernelResources resources_of(const KernelInfo& kernel, const internal::KernelImage& image) {
    Resources& r = resources_state();
    std::lock_guard<std::mutex> lock(r.mutex);
    KernelResources out;
    if (auto planted = r.planted.find(kernel.name); planted != r.planted.end()) {
        out = planted->second;
    } else if (image.listed) {
        out = image.resources;
    } else {
        out.static_shared_bytes = image.static_shared_bytes;
        if (internal::resource_table_size() > 0) r.unlisted.insert(kernel.name);
    }
    r.applied[kernel.name] = out;
    return out;
}

cudaError_t check_resources(const LaunchConfig& c, const KernelResources& k) {
    const std::uint64_t threads = std::uint64_t(c.block.x) * c.block.y * c.block.z;
    const std::uint64_t warp_threads = (threads + kWarpSize - 1) / kWarpSize * kWarpSize;
    const std::uint64_t registers =
        (std::uint64_t{k.registers} + kRegisterGranule - 1) / kRegisterGranule * kRegisterGranule;
    if (threads > k.max_threads || registers * warp_threads > kRegistersPerBlock) return cudaErrorLaunchOutOfResources;
    if (k.static_shared_bytes + c.shared_bytes > kSharedBytesPerBlock) return cudaErrorInvalidValue;
    return cudaSuccess;
}

// Every pointer argument is null or points into a live allocation of the launch's device; anything
// else (host memory, freed memory, another device's) is what a GPU faults on.
cudaError_t check_pointers(const KernelInfo& kernel, int device) {
    for (std::size_t i = 0; i < kernel.pointer_count; ++i) {
        const void* p = kernel.pointers[i];
        if (p && internal::allocation_device(p) != device) return cudaErrorIllegalAddress;
    }
    return cudaSuccess;
}

// ---------------------------------------------------------------- fibers

struct Stack {
    void* bottom = nullptr;
    std::size_t size = 0;
#if defined(HOSTDEVICE_TSAN)
    // ThreadSanitizer keeps a context (call stack, clocks) per fiber. It is made once per stack and
    // reused with it: making one per thread of every launch would cost more than the kernels.
    void* tsan_fiber = nullptr;
#endif
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
        Stack s{static_cast<char*>(base) + page, size};
#if defined(HOSTDEVICE_TSAN)
        s.tsan_fiber = __tsan_create_fiber(0);
#endif
        return s;
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
#if defined(HOSTDEVICE_TSAN)
        __tsan_destroy_fiber(s.tsan_fiber);
#endif
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
    unsigned barriers = 0;               // barriers this thread has reached in the current block
    const char* barrier_file = nullptr;  // where it waits, while it does
    unsigned barrier_line = 0;
#if defined(HOSTDEVICE_ASAN)
    void* fake_stack = nullptr;
    const void* caller_bottom = nullptr;
    std::size_t caller_size = 0;
#endif
#if defined(HOSTDEVICE_TSAN)
    // Every switch synchronises: the threads of a block run one after another on their host thread,
    // and that is all ThreadSanitizer is told. Races between the threads of one block are what the
    // thread orders expose.
    void* tsan_caller = nullptr;  // the scheduler's context
#endif
};

thread_local Fiber* t_fiber = nullptr;
thread_local const char* t_kernel = nullptr;

// Called on the fiber: hand control back to the scheduler until it resumes this fiber.
void yield_to_scheduler(Fiber* f) {
#if defined(HOSTDEVICE_ASAN)
    __sanitizer_start_switch_fiber(&f->fake_stack, f->caller_bottom, f->caller_size);
#endif
#if defined(HOSTDEVICE_TSAN)
    __tsan_switch_to_fiber(f->tsan_caller, 0);
#endif
    ctx::transfer_t t = ctx::jump_fcontext(f->caller, f);
#if defined(HOSTDEVICE_ASAN)
    __sanitizer_finish_switch_fiber(f->fake_stack, &f->caller_bottom, &f->caller_size);
#endif
    f->caller = t.fctx;
}

// Never returns, so ThreadSanitizer, which would count its entry and never its exit on the fiber's
// reused context, does not instrument it.
#if defined(HOSTDEVICE_TSAN)
__attribute__((no_sanitize("thread")))
#endif
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
#if defined(HOSTDEVICE_TSAN)
    __tsan_switch_to_fiber(f->tsan_caller, 0);
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
#if defined(HOSTDEVICE_TSAN)
    f->tsan_caller = __tsan_get_current_fiber();
    __tsan_switch_to_fiber(f->stack.tsan_fiber, 0);
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
        : fibers_(std::size_t(block_dim.x) * block_dim.y * block_dim.z), block_(block), kernel_(kernel) {
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

    // Runs every thread of the current block to its end, phase by phase: each phase resumes the
    // threads in the chosen order until each waits at a barrier or has returned.
    // Returns whether the threads met at a barrier.
    bool run(ThreadOrder order, std::uint64_t launch, std::uint64_t block_number) {
        for (Fiber& f : fibers_) {
            f.state = FiberState::Runnable;
            f.barriers = 0;
        }
        for (std::uint64_t phase = 0;; ++phase) {
            sequence_.resize(fibers_.size());
            std::iota(sequence_.begin(), sequence_.end(), 0u);
            arrange(sequence_, order, launch, block_number, phase);
            for (unsigned i : sequence_)
                if (fibers_[i].state == FiberState::Runnable) resume(&fibers_[i]);
            if (!release_barrier()) return phase > 0;
        }
    }

  private:
    // After a phase: false when every thread has returned; otherwise checks that all wait at one
    // barrier, none having returned, and lets them through.
    bool release_barrier() {
        const Fiber* waiting = nullptr;
        const Fiber* returned = nullptr;
        for (const Fiber& f : fibers_) {
            if (f.state == FiberState::AtBarrier && !waiting) waiting = &f;
            if (f.state == FiberState::Finished && !returned) returned = &f;
        }
        if (!waiting) return false;
        const std::string block = " in block " + coordinates(block_->block_idx);
        if (returned)
            fatal("threads of one block reach different numbers of barriers: thread " + coordinates(waiting->thread) +
                      " waits at its barrier " + std::to_string(waiting->barriers) + " (" + site(*waiting) +
                      ") after thread " + coordinates(returned->thread) + " returned from " +
                      std::to_string(returned->barriers) + block,
                  kernel_);
        for (Fiber& f : fibers_) {
            if (f.barrier_line != waiting->barrier_line ||
                (f.barrier_file != waiting->barrier_file && std::strcmp(f.barrier_file, waiting->barrier_file) != 0))
                fatal("threads of one block wait at different barriers: thread " + coordinates(waiting->thread) +
                          " at " + site(*waiting) + ", thread " + coordinates(f.thread) + " at " + site(f) + block,
                      kernel_);
            f.state = FiberState::Runnable;
        }
        return true;
    }

    static std::string site(const Fiber& f) {
        return std::string(f.barrier_file) + ":" + std::to_string(f.barrier_line);
    }

    std::vector<Fiber> fibers_;
    const BlockContext* block_;
    const char* kernel_;
    std::vector<unsigned> sequence_;
};

// ---------------------------------------------------------------- blocks over host threads

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
        const char* previous_kernel = t_kernel;
        t_kernel = kernel.name;
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

void launch_kernel(const LaunchConfig& config, const KernelInfo& kernel, bool cooperative, PlainBlockFn plain,
                   ThreadFn thread, const void* args) {
    hold_point();
    const internal::KernelImage& image = internal::kernel_image(kernel.address);
    int device = -1;
    cudaError_t status = internal::current_device(&device);
    if (status == cudaSuccess) status = check_configuration(config);
    if (status == cudaSuccess) status = check_resources(config, resources_of(kernel, image));
    if (status == cudaSuccess) status = check_pointers(kernel, device);
    if (status == cudaSuccess) status = injected_failure();
    const std::uint64_t launch_number = log_launch(kernel.name, config, device, status == cudaSuccess);
    if (status != cudaSuccess) {
        internal::record(status);
        return;
    }

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
    note_launched(kernel.name, job.barriers.load());
}

namespace detail {
void block_barrier(const char* file, unsigned line) {
    Fiber* f = t_fiber;
    if (!f)
        fatal("__syncthreads at " + std::string(file) + ":" + std::to_string(line) +
                  " called in a kernel launched without cooperative execution",
              t_kernel);
    ++f->barriers;
    f->barrier_file = file;
    f->barrier_line = line;
    f->state = FiberState::AtBarrier;
    yield_to_scheduler(f);
}
}  // namespace detail

bool parse_thread_order(const char* name, ThreadOrder* order) {
    for (ThreadOrder o : {ThreadOrder::Forward, ThreadOrder::Reverse, ThreadOrder::Shuffled})
        if (std::strcmp(name, thread_order_name(o)) == 0) {
            *order = o;
            return true;
        }
    return false;
}

const char* thread_order_name(ThreadOrder order) {
    switch (order) {
        case ThreadOrder::Forward: return "forward";
        case ThreadOrder::Reverse: return "reverse";
        case ThreadOrder::Shuffled: return "shuffled";
    }
    return "?";
}

void set_thread_order(ThreadOrder order) { order_setting().store(static_cast<int>(order)); }

ThreadOrder thread_order() { return static_cast<ThreadOrder>(order_setting().load()); }

void set_kernel_resources(const std::string& kernel, const KernelResources& resources) {
    Resources& r = resources_state();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.planted[kernel] = resources;
}

bool kernel_resources(const std::string& kernel, KernelResources* resources) {
    Resources& r = resources_state();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto planted = r.planted.find(kernel);
    auto applied = r.applied.find(kernel);
    if (planted != r.planted.end()) {
        *resources = planted->second;
        return true;
    }
    if (applied == r.applied.end()) return false;
    *resources = applied->second;
    return true;
}

std::vector<std::string> unlisted_kernels() {
    Resources& r = resources_state();
    std::lock_guard<std::mutex> lock(r.mutex);
    return std::vector<std::string>(r.unlisted.begin(), r.unlisted.end());
}

std::size_t listed_kernel_count() { return internal::resource_table_size(); }

void reset_kernel_settings() {
    set_thread_order(order_from_environment());
    Resources& r = resources_state();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.planted.clear();
    r.applied.clear();
}

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
