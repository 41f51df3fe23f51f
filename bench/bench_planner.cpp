// The fusion planner on standard circuits: the groups it forms, the passes over the state its
// plan makes (one per AutoPair or SparseShareMem group, three per DenseMM group: gather, GEMM,
// scatter) and its throughput in planned gates per second on one core.
//   bench_planner [repeat-seconds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/circuits.hpp"
#include "velqa/fusion/planner.hpp"

namespace {

using velqa::fusion::FusionGroupKind;
using velqa::fusion::FusionOptions;
using velqa::fusion::FusionPlan;

struct Figures {
    std::size_t groups[3] = {0, 0, 0};
    std::size_t passes = 0;
};

Figures count(const FusionPlan& plan) {
    Figures f;
    for (const auto& g : plan.groups) {
        ++f.groups[static_cast<int>(g.kind)];
        f.passes += g.kind == FusionGroupKind::DenseMM ? 3 : 1;
    }
    return f;
}

void report(const char* name, int n, const std::vector<velqa::GateRecord>& gates, double seconds) {
    const FusionOptions options;
    const FusionPlan plan = velqa::fusion::plan_fusion_chunk(n, gates, options);
    const Figures f = count(plan);
    // Repeat planning until the time is long enough to read.
    std::size_t rounds = 0;
    std::size_t groups = 0;  // read below, so the planning cannot be left out
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    do {
        groups += velqa::fusion::plan_fusion_chunk(n, gates, options).groups.size();
        ++rounds;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (elapsed < seconds);
    if (groups != rounds * plan.groups.size()) std::printf("planning is not deterministic\n");
    const double rate = double(gates.size()) * double(rounds) / elapsed;
    std::printf(
        "%-18s n=%2d gates=%6zu  autopair=%4zu sparsesharemem=%4zu densemm=%3zu  passes=%5zu  "
        "gates/pass=%6.1f  planner=%.2f Mgates/s\n",
        name, n, gates.size(), f.groups[0], f.groups[1], f.groups[2], f.passes, double(gates.size()) / double(f.passes),
        rate / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
    std::printf("fusion planner, default options, one core\n");
    for (int n : {20, 24, 28, 30}) report("qft", n, bench::qft(n), seconds);
    for (int n : {20, 24, 28, 30}) report("brick_wall(20)", n, bench::brick_wall(n, 20), seconds);
    for (int n : {20, 24, 28, 30}) report("qaoa(4)", n, bench::qaoa(n, 4), seconds);
    report("rcs(20 cycles)", 24, bench::rcs(24, 20), seconds);
    for (int n : {28, 30}) report("rcs(20 cycles)", n, bench::rcs(n, 20), seconds);
    report("brick_wall(2000)", 30, bench::brick_wall(30, 2000), seconds);
    return 0;
}
