#include "hostdevice/launch_log.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hostdevice {
namespace internal {
namespace {

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

}  // namespace

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

std::uint64_t log_launch(const char* name, dim3 grid, dim3 block, std::size_t shared_bytes, int device, bool accepted) {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.records.size() == kLaunchLogLimit) log.records.pop_front();
    log.records.push_back(LaunchRecord{name, grid, block, shared_bytes, device, accepted});
    return ++log.count;
}

void note_launched(const char* name, bool barriers) {
    if (LaunchedKernels* l = launched_kernels()) {
        std::lock_guard<std::mutex> lock(l->mutex);
        l->names[name] |= barriers;
    }
}

void reset_launches() {
    LaunchLog& log = launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.records.clear();
    log.count = 0;
    log.injected_skips = 0;
    log.injected_failures = 0;
}

}  // namespace internal

std::vector<LaunchRecord> launch_log() {
    internal::LaunchLog& log = internal::launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    return std::vector<LaunchRecord>(log.records.begin(), log.records.end());
}

void clear_launch_log() {
    internal::LaunchLog& log = internal::launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.records.clear();
}

std::uint64_t launch_count() {
    internal::LaunchLog& log = internal::launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.count;
}

void inject_launch_failures(int count, cudaError_t error, int skip) {
    internal::LaunchLog& log = internal::launch_log_state();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.injected_skips = std::max(skip, 0);
    log.injected_failures = std::max(count, 0);
    log.injected_error = error;
}

}  // namespace hostdevice
