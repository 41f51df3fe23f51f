// Quantum trajectories: the operation records dormeth runs on a density matrix, run on statevectors.
// A gate acts as psi <- U psi. A Kraus record applies one operator K_i, drawn with probability
// ||K_i psi||^2 / ||psi||^2, and psi becomes K_i psi / ||K_i psi||. Draws come from the counter-based
// generator (common/philox.hpp) at (seed, trajectory, operation index, draw), so a trajectory's
// result depends on nothing but (seed, trajectory).
//
// The members of a batch run their trajectories together: one gate list for all, a drawn operator
// being a gate whose matrix differs between members. A channel whose operators are each a multiple
// of a unitary (common/kraus_analysis.hpp) is drawn from its fixed probabilities without reading the
// state and then runs as a gate, so a trajectory of unitary mixtures only is one gate list, planned
// once and fused as a whole in PairAutoFusion. Any other channel ends the gate list run so far; its
// probabilities come from <psi|K_i^dagger K_i|psi>, each a Pauli sum on the channel's targets
// evaluated for every member by the observables' passes, which read the states without writing
// them; the operator each member drew, divided by its norm, opens the next gate list.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/density_operation.hpp"
#include "common/pauli.hpp"
#include "common/precision.hpp"
#include "velqa/gate_record.hpp"
#include "velqa/state_view.hpp"

namespace velqa {

struct TrajectoryStep;

// The checked records of one call. Construction checks every record in order, with dormeth's checks
// and messages in the precision given, then refuses a Kraus set that does not preserve the trace
// (ValueError naming the operation): nothing runs before every record has passed.
class TrajectoryProgram {
  public:
    TrajectoryProgram(std::uint64_t n, const std::vector<korvane::density::DensityOperation>& records,
                      korvane::Precision dtype);
    ~TrajectoryProgram();
    TrajectoryProgram(const TrajectoryProgram&) = delete;
    TrajectoryProgram& operator=(const TrajectoryProgram&) = delete;

    std::uint64_t n() const { return n_; }
    // Whether every channel is a unitary mixture: a trajectory's draws are then known without the state.
    bool unitary_mixtures_only() const { return general_channels_ == 0; }
    // The operator index each unitary mixture draws in trajectory t, in record order.
    std::vector<std::uint32_t> mixture_draws(std::uint64_t seed, std::uint64_t trajectory) const;

    // Runs trajectory trajectories[b] on member b of the view, from the state the member holds.
    void run(const StateView& members, std::uint64_t seed, const std::vector<std::uint64_t>& trajectories,
             KernelMode mode) const;

  private:
    std::uint64_t n_;
    std::vector<TrajectoryStep> steps_;
    std::size_t general_channels_ = 0;
};

// The draw of a trajectory's shots: operation index kShotOperation, draw = the shot's index.
inline constexpr std::uint32_t kShotOperation = 0xFFFFFFFFu;

struct TrajectoryOptions {
    korvane::Precision dtype = korvane::Precision::Complex128;
    std::int32_t device_id = 0;
    KernelMode mode = KernelMode::PairAutoFusion;
    std::uint64_t seed = 0;
    std::uint64_t batch_size = 0;  // 0: as many members as half of the device's free memory holds
    bool deduplicate = true;
};

// Called after each batch with (trajectories done, trajectories of the range); may throw to stop.
using TrajectoryProgress = std::function<void(std::uint64_t, std::uint64_t)>;

// Sums over the trajectories [begin, end) of a Pauli sum's value (terms already checked), each
// trajectory counted once.
struct TrajectorySums {
    double sum = 0.0;
    double sum_squares = 0.0;
    std::uint64_t trajectories = 0;
    std::uint64_t distinct = 0;  // the noise realisations simulated
};

TrajectorySums estimate_trajectories(const TrajectoryProgram& program, const std::vector<korvane::PauliTerm>& terms,
                                     const TrajectoryOptions& options, std::uint64_t begin, std::uint64_t end,
                                     const TrajectoryProgress& progress);

// Outcome counts over the shots of the trajectories [begin, end): trajectory t draws
// min(shots_per_trajectory, shots - t * shots_per_trajectory) outcomes of the targets from its final
// state, shot s from (seed, t, kShotOperation, s).
struct TrajectoryCounts {
    std::map<std::uint64_t, std::uint64_t> counts;  // outcome -> count, outcomes drawn at least once
    std::uint64_t distinct = 0;
};

TrajectoryCounts sample_trajectories(const TrajectoryProgram& program, const std::vector<std::int64_t>& targets,
                                     const std::string& endian, std::uint64_t shots, std::uint64_t shots_per_trajectory,
                                     const TrajectoryOptions& options, std::uint64_t begin, std::uint64_t end,
                                     const TrajectoryProgress& progress);

}  // namespace velqa
