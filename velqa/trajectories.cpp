#include "velqa/trajectories.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/kraus_analysis.hpp"
#include "common/philox.hpp"
#include "velqa/gate_traits.hpp"
#include "velqa/run_circuit.hpp"
#include "velqa/velqa_measure.hpp"
#include "velqa/velqa_observables.hpp"

namespace velqa {

namespace density = korvane::density;
using Complex = std::complex<double>;

// One record as a trajectory runs it. Gates and drawn operators become UNITARY records (their
// matrices need not be unitary: the kernels apply any matrix).
struct TrajectoryStep {
    enum class Kind : std::uint8_t { Gate, Mixture, General };
    Kind kind = Kind::Gate;
    std::uint32_t index = 0;  // the record's position in the call
    GateRecord gate;          // Gate: the record to apply; otherwise its targets, the matrix unset
    std::int64_t dimension = 0;
    std::vector<double> probabilities;      // Mixture: p_i
    std::vector<bool> identity;             // Mixture: U_i is the identity, and is skipped
    std::vector<Complex> matrices;          // Mixture: U_i; General: K_i (row-major, one after another)
    std::vector<double> constant_part;      // General: the identity's share of <K_i^dagger K_i>
    std::vector<korvane::PauliPlan> plans;  // General: the rest, a Pauli sum on the targets
    std::size_t derived = 0;                // General: the operator whose weight is 1 - the others'
};

namespace {

GateRecord matrix_record(const std::vector<std::int64_t>& targets, const std::vector<std::int64_t>& controls,
                         const std::vector<std::int64_t>& control_state, std::vector<Complex> matrix) {
    GateRecord g;
    g.id = kGateUnitary;
    g.name = "unitary";
    g.target = targets;
    g.control = controls;
    g.control_state = control_state;
    g.matrix_dim = std::int64_t(1) << targets.size();
    g.matrix = std::move(matrix);
    g.has_matrix = true;
    return g;
}

// The matrix of a checked gate form, in double; none for a dropped global phase.
struct FormMatrix {
    std::vector<Complex> operator()(const density::DroppedGate&) const { return {}; }
    std::vector<Complex> operator()(const density::DiagonalGate<double>& d) const { return {d.d0, 0.0, 0.0, d.d1}; }
    std::vector<Complex> operator()(const density::PermutationGate& p) const {
        if (!p.is_swap) return {0.0, 1.0, 1.0, 0.0};
        return {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0};
    }
    std::vector<Complex> operator()(const density::MatrixGate<double>& m) const {
        std::vector<Complex> out;
        out.reserve(m.matrix.size());
        for (const auto& z : m.matrix) out.emplace_back(z.re, z.im);
        return out;
    }
};

// The Pauli expansion of a d x d Hermitian matrix m on the targets: m = c_I I + sum_P c_P P, with
// c_P = Re Tr(P m) / d; letter j of P acts on targets[j] (bit j of a local index). Coefficients
// below 1e-14 of m's size are rounding and dropped.
std::pair<double, std::vector<korvane::PauliTerm>> pauli_expansion(const std::vector<Complex>& m,
                                                                   const std::vector<std::int64_t>& targets) {
    static const std::array<std::array<Complex, 4>, 4> sigma = {
        {{1.0, 0.0, 0.0, 1.0}, {0.0, 1.0, 1.0, 0.0}, {0.0, Complex(0, -1), Complex(0, 1), 0.0}, {1.0, 0.0, 0.0, -1.0}}};
    static const char letters[] = "IXYZ";
    const std::size_t k = targets.size();
    const std::size_t d = std::size_t(1) << k;
    double scale = 0.0;
    for (const Complex& z : m) scale = std::max(scale, std::abs(z));
    double identity = 0.0;
    std::vector<korvane::PauliTerm> terms;
    for (std::size_t code = 0; code < (std::size_t(1) << (2 * k)); ++code) {
        Complex trace = 0.0;
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c) {
                Complex p = 1.0;
                for (std::size_t j = 0; j < k && p != 0.0; ++j)
                    p *= sigma[(code >> (2 * j)) & 3][((r >> j) & 1) * 2 + ((c >> j) & 1)];
                trace += p * m[c * d + r];
            }
        const double coefficient = trace.real() / static_cast<double>(d);
        if (code == 0) {
            identity = coefficient;
            continue;
        }
        if (!(std::abs(coefficient) > 1e-14 * scale)) continue;
        korvane::PauliTerm term;
        term.coefficient = coefficient;
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t letter = (code >> (2 * j)) & 3;
            if (letter == 0) continue;
            term.paulis.push_back(letters[letter]);
            term.qubits.push_back(targets[j]);
        }
        terms.push_back(std::move(term));
    }
    return {identity, std::move(terms)};
}

bool is_identity(const Complex* u, std::size_t d) {
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c)
            if (!(std::abs(u[r * d + c] - (r == c ? 1.0 : 0.0)) <= 1e-15)) return false;
    return true;
}

TrajectoryStep gate_step(const density::DensityOperation& r, std::uint64_t n, std::size_t index,
                         korvane::Precision dtype) {
    const auto nn = static_cast<std::int64_t>(n);
    korvane::dispatch_precision(dtype, [&]<class T>() { (void)density::checked_gate_form<T>(r, nn, index); });
    TrajectoryStep step;
    step.index = static_cast<std::uint32_t>(index);
    std::vector<Complex> matrix = std::visit(FormMatrix{}, density::gate_form<double>(r, index));
    if (!matrix.empty()) step.gate = matrix_record(r.targets, r.controls, r.control_state, std::move(matrix));
    return step;
}

TrajectoryStep kraus_step(const density::DensityOperation& r, std::uint64_t n, std::size_t index,
                          korvane::Precision dtype) {
    const auto nn = static_cast<std::int64_t>(n);
    korvane::dispatch_precision(dtype, [&]<class T>() { (void)density::checked_kraus_channel<T>(r, nn, index); });
    density::require_trace_preserving(r, index);
    TrajectoryStep step;
    step.index = static_cast<std::uint32_t>(index);
    step.gate.target = r.targets;
    step.dimension = r.kraus_dimension;
    const auto d = static_cast<std::size_t>(r.kraus_dimension);
    if (auto mixture = density::unitary_mixture(r)) {
        step.kind = TrajectoryStep::Kind::Mixture;
        step.probabilities = std::move(mixture->probabilities);
        step.matrices = std::move(mixture->unitaries);
        for (std::size_t i = 0; i < step.probabilities.size(); ++i)
            step.identity.push_back(is_identity(step.matrices.data() + i * d * d, d));
        return step;
    }
    step.kind = TrajectoryStep::Kind::General;
    step.matrices = r.kraus_matrices;
    for (std::size_t i = 0; i < static_cast<std::size_t>(r.kraus_count); ++i) {
        const Complex* k = r.kraus_matrices.data() + i * d * d;
        std::vector<Complex> gram(d * d, 0.0);
        for (std::size_t a = 0; a < d; ++a)
            for (std::size_t b = 0; b < d; ++b)
                for (std::size_t j = 0; j < d; ++j) gram[a * d + b] += std::conj(k[j * d + a]) * k[j * d + b];
        auto [constant, terms] = pauli_expansion(gram, r.targets);
        step.constant_part.push_back(constant);
        step.plans.push_back(korvane::plan_pauli_sum(terms, n));
        // The weights sum to 1: the operator that would take the most passes is not evaluated.
        if (step.plans.back().passes.size() > step.plans[step.derived].passes.size()) step.derived = i;
    }
    return step;
}

std::uint64_t member_elements(std::uint64_t n) { return std::uint64_t(1) << n; }

}  // namespace

TrajectoryProgram::TrajectoryProgram(std::uint64_t n, const std::vector<density::DensityOperation>& records,
                                     korvane::Precision dtype)
    : n_(n) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    if (records.size() >= kShotOperation) throw std::invalid_argument("too many operations");
    steps_.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const density::DensityOperation& r = records[i];
        TrajectoryStep step =
            r.kind == density::OperationKind::Kraus ? kraus_step(r, n, i, dtype) : gate_step(r, n, i, dtype);
        if (step.kind == TrajectoryStep::Kind::Gate && !step.gate.has_matrix) continue;  // a global phase
        if (step.kind == TrajectoryStep::Kind::General) ++general_channels_;
        steps_.push_back(std::move(step));
    }
}

TrajectoryProgram::~TrajectoryProgram() = default;

std::vector<std::uint32_t> TrajectoryProgram::mixture_draws(std::uint64_t seed, std::uint64_t trajectory) const {
    std::vector<std::uint32_t> draws;
    for (const TrajectoryStep& s : steps_) {
        if (s.kind != TrajectoryStep::Kind::Mixture) continue;
        const double u = korvane::philox::trajectory_uniform(seed, trajectory, s.index, 0);
        draws.push_back(
            static_cast<std::uint32_t>(density::draw_weighted(s.probabilities.data(), s.probabilities.size(), u)));
    }
    return draws;
}

template <class T>
void TrajectoryProgram::run(CuComplex<T>* data, std::int32_t device_id, std::uint64_t seed, std::uint64_t trajectory,
                            KernelMode mode) const {
    const std::uint64_t elements = member_elements(n_);
    std::vector<GateRecord> pending;
    const auto flush = [&] {
        if (!pending.empty()) run_gates<T>(n_, data, elements, pending, device_id, mode);
        pending.clear();
    };
    for (const TrajectoryStep& s : steps_) {
        const auto d = static_cast<std::size_t>(s.dimension);
        const double u = korvane::philox::trajectory_uniform(seed, trajectory, s.index, 0);
        switch (s.kind) {
            case TrajectoryStep::Kind::Gate: pending.push_back(s.gate); break;
            case TrajectoryStep::Kind::Mixture: {
                const std::size_t i = density::draw_weighted(s.probabilities.data(), s.probabilities.size(), u);
                if (s.identity[i]) break;
                const Complex* m = s.matrices.data() + i * d * d;
                pending.push_back(matrix_record(s.gate.target, {}, {}, std::vector<Complex>(m, m + d * d)));
                break;
            }
            case TrajectoryStep::Kind::General: {
                flush();
                const std::size_t count = s.plans.size();
                std::vector<double> weights(count, 0.0);
                double others = 0.0;
                for (std::size_t i = 0; i < count; ++i) {
                    if (i == s.derived) continue;
                    weights[i] =
                        std::max(0.0, s.constant_part[i] + expectation_pauli<T>(n_, data, device_id, s.plans[i]));
                    others += weights[i];
                }
                weights[s.derived] = std::max(0.0, 1.0 - others);
                const std::size_t i = density::draw_weighted(weights.data(), count, u);
                const double scale = 1.0 / std::sqrt(weights[i]);
                const Complex* k = s.matrices.data() + i * d * d;
                std::vector<Complex> m(k, k + d * d);
                for (Complex& z : m) z *= scale;
                pending.push_back(matrix_record(s.gate.target, {}, {}, std::move(m)));
                break;
            }
        }
    }
    flush();
}

template void TrajectoryProgram::run<float>(CuComplex<float>*, std::int32_t, std::uint64_t, std::uint64_t,
                                            KernelMode) const;
template void TrajectoryProgram::run<double>(CuComplex<double>*, std::int32_t, std::uint64_t, std::uint64_t,
                                             KernelMode) const;

namespace {

// A noise realisation simulated once: the trajectory that runs it and every trajectory it stands for.
struct Realisation {
    std::uint64_t trajectory;
    std::vector<std::uint64_t> members;
};

// The trajectories [begin, end), grouped by their draws when every channel is a unitary mixture and
// deduplication is on; one each otherwise. Groups keep the order of their first trajectory.
std::vector<Realisation> realisations(const TrajectoryProgram& program, const TrajectoryOptions& options,
                                      std::uint64_t begin, std::uint64_t end) {
    std::vector<Realisation> out;
    if (!(options.deduplicate && program.unitary_mixtures_only())) {
        out.reserve(end - begin);
        for (std::uint64_t t = begin; t < end; ++t) out.push_back(Realisation{t, {t}});
        return out;
    }
    std::map<std::vector<std::uint32_t>, std::size_t> seen;
    for (std::uint64_t t = begin; t < end; ++t) {
        const auto [it, fresh] = seen.emplace(program.mixture_draws(options.seed, t), out.size());
        if (fresh)
            out.push_back(Realisation{t, {t}});
        else
            out[it->second].members.push_back(t);
    }
    return out;
}

// Runs every realisation from |0...0> in batches of members, and hands each final state to readout
// (realisation, member data); progress after each batch.
template <class T, class Readout>
void run_batches(const TrajectoryProgram& program, const TrajectoryOptions& options,
                 const std::vector<Realisation>& jobs, std::uint64_t total, const TrajectoryProgress& progress,
                 Readout&& readout) {
    if (jobs.empty()) return;
    const std::uint64_t elements = member_elements(program.n());
    const std::uint64_t member_bytes = elements * sizeof(CuComplex<T>);
    std::uint64_t batch = options.batch_size;
    if (batch == 0) batch = std::max<std::uint64_t>(1, kTrajectoryBatchBytes / member_bytes);
    batch = std::min<std::uint64_t>(batch, jobs.size());
    if (batch > std::numeric_limits<std::uint64_t>::max() / member_bytes)
        korvane::cuda_check(cudaErrorMemoryAllocation);
    korvane::cuda_check(cudaSetDevice(options.device_id));
    korvane::DeviceBuffer<CuComplex<T>> members(batch * elements);
    const CuComplex<T> one{T(1), T(0)};
    std::uint64_t done = 0;
    for (std::size_t first = 0; first < jobs.size(); first += batch) {
        const std::size_t last = std::min<std::size_t>(jobs.size(), first + batch);
        korvane::cuda_check(cudaMemset(members.get(), 0, (last - first) * member_bytes));
        for (std::size_t j = first; j < last; ++j) {
            CuComplex<T>* data = members.get() + (j - first) * elements;
            korvane::cuda_check(cudaMemcpy(data, &one, sizeof(one), cudaMemcpyHostToDevice));
            program.run<T>(data, options.device_id, options.seed, jobs[j].trajectory, options.mode);
        }
        for (std::size_t j = first; j < last; ++j) {
            readout(jobs[j], members.get() + (j - first) * elements);
            done += jobs[j].members.size();
        }
        if (progress) progress(done, total);
    }
    members.release();
}

}  // namespace

TrajectorySums estimate_trajectories(const TrajectoryProgram& program, const korvane::PauliPlan& plan,
                                     const TrajectoryOptions& options, std::uint64_t begin, std::uint64_t end,
                                     const TrajectoryProgress& progress) {
    const std::vector<Realisation> jobs = realisations(program, options, begin, end);
    TrajectorySums sums;
    sums.distinct = jobs.size();
    sums.trajectories = end - begin;
    korvane::dispatch_precision(options.dtype, [&]<class T>() {
        run_batches<T>(program, options, jobs, end - begin, progress, [&](const Realisation& r, CuComplex<T>* data) {
            const double value = expectation_pauli<T>(program.n(), data, options.device_id, plan);
            const auto weight = static_cast<double>(r.members.size());
            sums.sum += weight * value;
            sums.sum_squares += weight * value * value;
        });
    });
    return sums;
}

TrajectoryCounts sample_trajectories(const TrajectoryProgram& program, const std::vector<std::int64_t>& targets,
                                     bool little_endian, std::uint64_t shots, std::uint64_t shots_per_trajectory,
                                     const TrajectoryOptions& options, std::uint64_t begin, std::uint64_t end,
                                     const TrajectoryProgress& progress) {
    const std::vector<Realisation> jobs = realisations(program, options, begin, end);
    TrajectoryCounts out;
    out.distinct = jobs.size();
    korvane::dispatch_precision(options.dtype, [&]<class T>() {
        korvane::cuda_check(cudaSetDevice(options.device_id));
        auto device_targets = korvane::DeviceBuffer<std::int64_t>::copy_of(targets.data(), targets.size());
        run_batches<T>(program, options, jobs, end - begin, progress, [&](const Realisation& r, CuComplex<T>* data) {
            std::vector<double> cdf =
                outcome_probabilities<T>(program.n(), data, targets, device_targets.get(), little_endian);
            for (std::size_t o = 1; o < cdf.size(); ++o) cdf[o] += cdf[o - 1];
            const double total = cdf.back();
            if (!(total > 0.0) || std::isinf(total))
                throw std::runtime_error("Quantum state has zero or invalid norm.");
            // The last outcome of non-zero probability, for a draw that rounding puts at the total.
            const std::size_t last =
                static_cast<std::size_t>(std::lower_bound(cdf.begin(), cdf.end(), total) - cdf.begin());
            for (const std::uint64_t t : r.members) {
                const std::uint64_t first_shot = t * shots_per_trajectory;
                const std::uint64_t own = std::min(shots_per_trajectory, shots - first_shot);
                for (std::uint64_t s = 0; s < own; ++s) {
                    const double u = korvane::philox::trajectory_uniform(options.seed, t, kShotOperation,
                                                                         static_cast<std::uint32_t>(s));
                    const auto at = std::upper_bound(cdf.begin(), cdf.end(), u * total);
                    ++out.counts[at == cdf.end() ? last : static_cast<std::uint64_t>(at - cdf.begin())];
                }
            }
        });
        device_targets.release();
    });
    return out;
}

}  // namespace velqa
