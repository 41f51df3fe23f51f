#include "hostdevice/fibers.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include <boost/context/detail/fcontext.hpp>

#include "hostdevice/fatal.hpp"
#include "hostdevice/thread_order.hpp"

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
namespace internal {
namespace {

std::string coordinates(uint3 v) {
    char text[48];
    std::snprintf(text, sizeof(text), "(%u,%u,%u)", v.x, v.y, v.z);
    return text;
}

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

}  // namespace

class FiberBlock::Threads {
  public:
    Threads(dim3 block_dim, ThreadFn fn, const void* args, const BlockContext* block, const char* kernel)
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

    ~Threads() {
        for (Fiber& f : fibers_) {
            f.exit = true;
            resume(&f);
            t_stacks.release(f.stack);
        }
    }

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

RunningKernel::RunningKernel(const char* name) : previous_(t_kernel) { t_kernel = name; }
RunningKernel::~RunningKernel() { t_kernel = previous_; }

FiberBlock::FiberBlock(dim3 block_dim, ThreadFn fn, const void* args, const BlockContext* block, const char* kernel)
    : threads_(std::make_unique<Threads>(block_dim, fn, args, block, kernel)) {}

FiberBlock::~FiberBlock() = default;

bool FiberBlock::run(ThreadOrder order, std::uint64_t launch, std::uint64_t block_number) {
    return threads_->run(order, launch, block_number);
}

}  // namespace internal

namespace detail {
void block_barrier(const char* file, unsigned line) {
    internal::Fiber* f = internal::t_fiber;
    if (!f)
        internal::fatal("__syncthreads at " + std::string(file) + ":" + std::to_string(line) +
                            " called in a kernel launched without cooperative execution",
                        internal::t_kernel);
    ++f->barriers;
    f->barrier_file = file;
    f->barrier_line = line;
    f->state = internal::FiberState::AtBarrier;
    internal::yield_to_scheduler(f);
}
}  // namespace detail
}  // namespace hostdevice
