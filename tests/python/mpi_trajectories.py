"""Run by test_trajectories under mpirun (or alone with "none"): one estimate and one sample of a
noisy circuit, which every rank writes as JSON to <folder>/rank<r>.json (mpirun may interleave the
ranks' standard output)."""
import json
import os
import sys

import velqa
from test_trajectories import TERMS, noisy_circuit


def main():
    args = json.loads(sys.argv[1])
    comm = None
    if sys.argv[2] == "world":
        from mpi4py import MPI
        comm = MPI.COMM_WORLD
    n, seed = args["n"], args["seed"]
    ops = noisy_circuit(n, seed, layers=2)
    est = velqa.estimate_expectation_trajectories(n, ops, TERMS, args["trajectories"], seed=seed, batch_size=16,
                                                  comm=comm, device=None)
    counts = velqa.sample_trajectories(n, ops, [0, 2, 3], args["shots"], seed=seed, shots_per_trajectory=3,
                                       comm=comm, device=None)
    # seed None: rank 0 draws one seed for all, so every rank returns the same estimate.
    drawn = velqa.estimate_expectation_trajectories(n, ops, TERMS, 20, comm=comm)
    agree = comm is None or len(set(comm.allgather(drawn.mean))) == 1
    rank = 0 if comm is None else comm.Get_rank()
    with open(os.path.join(sys.argv[3], f"rank{rank}.json"), "w") as f:
        json.dump({"mean": est.mean, "standard_error": est.standard_error, "trajectories": est.trajectories,
                   "counts": counts, "seeded_none_agree": agree}, f)


if __name__ == "__main__":
    main()
