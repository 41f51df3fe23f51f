#include "velqa/trajectories.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "common/cuda_check.hpp"
#include "common/gpu/runtime.hpp"
#include "common/kraus_analysis.hpp"
#include "common/philox.hpp"
#include "velqa/gate_traits.hpp"
#include "velqa/run_circuit.hpp"
#include "velqa/velqa_observables.hpp"
#include "velqa/velqa_state_batch.hpp"

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
    std::vector<double> probabilities;                   // Mixture: p_i
    std::vector<bool> identity;                          // Mixture: U_i is the identity, and is skipped
    std::vector<Complex> matrices;                       // Mixture: U_i; General: K_i (row-major, one after another)
    std::vector<double> constant_part;                   // General: the identity's share of <K_i^dagger K_i>
    std::vector<std::vector<korvane::PauliTerm>> terms;  // General: the rest, a Pauli sum on the targets
    std::vector<std::size_t> passes;                     // General: the passes each sum takes
    std::size_t derived = 0;                             // General: the operator whose weight is 1 - the others'
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
        step.passes.push_back(korvane::plan_pauli_sum(terms, n).passes.size());
        step.terms.push_back(std::move(terms));
        // The weights sum to 1: the operator that would take the most passes is not evaluated.
        if (step.passes.back() > step.passes[step.derived]) step.derived = i;
    }
    return step;
}

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

namespace {

// A UNITARY record on the targets whose matrix for member b is matrix(b) (d x d each); a record of
// one matrix when the view has one member.
template <class Matrix>
GateRecord member_record(const std::vector<std::int64_t>& targets, std::size_t d, std::uint64_t members,
                         Matrix&& matrix) {
    const std::vector<Complex> first = matrix(0);
    GateRecord g = matrix_record(targets, {}, {}, first);
    if (members > 1) {
        g.member_matrix.reserve(members * d * d);
        g.member_matrix.insert(g.member_matrix.end(), first.begin(), first.end());
        for (std::uint64_t b = 1; b < members; ++b) {
            const std::vector<Complex> m = matrix(b);
            g.member_matrix.insert(g.member_matrix.end(), m.begin(), m.end());
        }
    }
    return g;
}

}  // namespace

void TrajectoryProgram::run(const StateView& view, std::uint64_t seed, const std::vector<std::uint64_t>& trajectories,
                            KernelMode mode) const {
    const std::uint64_t members = view.members;
    std::vector<GateRecord> pending;
    const auto flush = [&] {
        if (!pending.empty()) run_gates(view, pending, mode);
        pending.clear();
    };
    std::vector<std::size_t> drawn(members);
    for (const TrajectoryStep& s : steps_) {
        const auto d = static_cast<std::size_t>(s.dimension);
        const auto draw = [&](std::uint64_t b) {
            return korvane::philox::trajectory_uniform(seed, trajectories[b], s.index, 0);
        };
        switch (s.kind) {
            case TrajectoryStep::Kind::Gate: pending.push_back(s.gate); break;
            case TrajectoryStep::Kind::Mixture: {
                bool every_identity = true;
                for (std::uint64_t b = 0; b < members; ++b) {
                    drawn[b] = density::draw_weighted(s.probabilities.data(), s.probabilities.size(), draw(b));
                    every_identity = every_identity && s.identity[drawn[b]];
                }
                if (every_identity) break;  // what no member changes costs no pass
                pending.push_back(member_record(s.gate.target, d, members, [&](std::uint64_t b) {
                    const Complex* u = s.matrices.data() + drawn[b] * d * d;
                    return std::vector<Complex>(u, u + d * d);
                }));
                break;
            }
            case TrajectoryStep::Kind::General: {
                flush();
                const std::size_t count = s.terms.size();
                std::vector<double> weights(members * count, 0.0);
                for (std::size_t i = 0; i < count; ++i) {
                    if (i == s.derived) continue;
                    const std::vector<double> values =
                        s.terms[i].empty() ? std::vector<double>(members, 0.0) : expectation_pauli(view, s.terms[i]);
                    for (std::uint64_t b = 0; b < members; ++b)
                        weights[b * count + i] = std::max(0.0, s.constant_part[i] + values[b]);
                }
                std::vector<double> scale(members);
                for (std::uint64_t b = 0; b < members; ++b) {
                    double* w = weights.data() + b * count;
                    double others = 0.0;
                    for (std::size_t i = 0; i < count; ++i) others += i == s.derived ? 0.0 : w[i];
                    w[s.derived] = std::max(0.0, 1.0 - others);
                    drawn[b] = density::draw_weighted(w, count, draw(b));
                    scale[b] = 1.0 / std::sqrt(w[drawn[b]]);
                }
                pending.push_back(member_record(s.gate.target, d, members, [&](std::uint64_t b) {
                    const Complex* k = s.matrices.data() + drawn[b] * d * d;
                    std::vector<Complex> m(k, k + d * d);
                    for (Complex& z : m) z *= scale[b];
                    return m;
                }));
                break;
            }
        }
    }
    flush();
}

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

// batch_size None: the largest batch whose members and their scratch (at most a quarter of the
// batch's size) fit in half of the device's free memory, leaving the rest to the caller's own work.
std::uint64_t automatic_batch(std::uint64_t member_bytes, std::int32_t device_id) {
    korvane::cuda_check(cudaSetDevice(device_id));
    std::size_t free = 0;
    std::size_t total = 0;
    korvane::cuda_check(cudaMemGetInfo(&free, &total));
    return std::max<std::uint64_t>(1, (free / 2) / (member_bytes + member_bytes / 4));
}

// Runs every realisation from |0...0> in batches of members of one DeviceStateBatch, and hands each
// batch's final states to readout (the view of its members, its first realisation); progress after
// each batch.
template <class Readout>
void run_batches(const TrajectoryProgram& program, const TrajectoryOptions& options,
                 const std::vector<Realisation>& jobs, std::uint64_t total, const TrajectoryProgress& progress,
                 Readout&& readout) {
    if (jobs.empty()) return;
    const std::uint64_t member_bytes =
        (std::uint64_t(1) << program.n()) * (options.dtype == korvane::Precision::Complex128 ? 16 : 8);
    std::uint64_t batch = options.batch_size;
    if (batch == 0) batch = automatic_batch(member_bytes, options.device_id);
    batch = std::min<std::uint64_t>(batch, jobs.size());
    DeviceStateBatch members(program.n(), batch, options.dtype, options.device_id);
    std::uint64_t done = 0;
    std::vector<std::uint64_t> trajectories;
    for (std::size_t first = 0; first < jobs.size(); first += batch) {
        const std::size_t last = std::min<std::size_t>(jobs.size(), first + batch);
        members.set_zero_state();
        StateView view = members.view();
        view.members = last - first;
        trajectories.clear();
        for (std::size_t j = first; j < last; ++j) trajectories.push_back(jobs[j].trajectory);
        program.run(view, options.seed, trajectories, options.mode);
        readout(view, first);
        for (std::size_t j = first; j < last; ++j) done += jobs[j].members.size();
        if (progress) progress(done, total);
    }
}

}  // namespace

TrajectorySums estimate_trajectories(const TrajectoryProgram& program, const std::vector<korvane::PauliTerm>& terms,
                                     const TrajectoryOptions& options, std::uint64_t begin, std::uint64_t end,
                                     const TrajectoryProgress& progress) {
    const std::vector<Realisation> jobs = realisations(program, options, begin, end);
    TrajectorySums sums;
    sums.distinct = jobs.size();
    sums.trajectories = end - begin;
    run_batches(program, options, jobs, end - begin, progress, [&](const StateView& view, std::size_t first) {
        const std::vector<double> values = expectation_pauli(view, terms);
        for (std::uint64_t b = 0; b < view.members; ++b) {
            const auto weight = static_cast<double>(jobs[first + b].members.size());
            sums.sum += weight * values[b];
            sums.sum_squares += weight * values[b] * values[b];
        }
    });
    return sums;
}

TrajectoryCounts sample_trajectories(const TrajectoryProgram& program, const std::vector<std::int64_t>& targets,
                                     const std::string& endian, std::uint64_t shots, std::uint64_t shots_per_trajectory,
                                     const TrajectoryOptions& options, std::uint64_t begin, std::uint64_t end,
                                     const TrajectoryProgress& progress) {
    const std::vector<Realisation> jobs = realisations(program, options, begin, end);
    TrajectoryCounts out;
    out.distinct = jobs.size();
    const std::size_t outcomes = std::size_t(1) << targets.size();
    run_batches(program, options, jobs, end - begin, progress, [&](const StateView& view, std::size_t first) {
        const std::vector<double> probabilities_of_all = probabilities(view, targets, endian);
        std::vector<double> cdf(outcomes);
        for (std::uint64_t b = 0; b < view.members; ++b) {
            const double* p = probabilities_of_all.data() + b * outcomes;
            std::partial_sum(p, p + outcomes, cdf.begin());
            const double total = cdf.back();
            // The last outcome of non-zero probability, for a draw that rounding puts at the total.
            const auto last = static_cast<std::uint64_t>(std::lower_bound(cdf.begin(), cdf.end(), total) - cdf.begin());
            for (const std::uint64_t t : jobs[first + b].members) {
                const std::uint64_t own = std::min(shots_per_trajectory, shots - t * shots_per_trajectory);
                for (std::uint64_t s = 0; s < own; ++s) {
                    const double u = korvane::philox::trajectory_uniform(options.seed, t, kShotOperation,
                                                                         static_cast<std::uint32_t>(s));
                    const auto at = std::upper_bound(cdf.begin(), cdf.end(), u * total);
                    ++out.counts[at == cdf.end() ? last : static_cast<std::uint64_t>(at - cdf.begin())];
                }
            }
        }
    });
    return out;
}

}  // namespace velqa
