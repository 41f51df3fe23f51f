"""The gate added as a dry run of the gate table: SQRTW in every mode, with and without controls,
against the dense model, and fused between other gates."""
import numpy as np

import reference as ref
import velqa
from conftest import assert_close, random_state

E = np.exp(1j * np.pi / 4)
SQRTW = np.array([[1, -E], [np.conj(E), 1]]) / np.sqrt(2)


def test_sqrtw_matches_the_dense_model(hd, mode, dtype):
    w = (np.array([[0, 1], [1, 0]]) + np.array([[0, -1j], [1j, 0]])) / np.sqrt(2)
    np.testing.assert_allclose(SQRTW @ SQRTW, -1j * w, atol=1e-15)  # W up to a global phase
    rng = np.random.default_rng(3)
    n = 7
    state = random_state(n, dtype, rng)
    cases = [(0, [], []), (4, [], []), (0, [2, 5], [1, 0]), (3, [1, 6], [1, 1])]
    gates, expected = [], state.astype(complex)
    for target, controls, states in cases:
        gates += [{"id": "h", "target": [target], "control": [], "control_state": [], "parameter": []},
                  {"id": "sqrtw", "target": [target], "control": controls, "control_state": states, "parameter": []}]
        expected = ref.apply_matrix(expected, n, ref.matrix_of("h", []), [target])
        expected = ref.apply_matrix(expected, n, SQRTW, [target], controls, states)
    hd.clear_launches()
    out = velqa.run_circuit(n, state.copy(), gates, mode=mode)
    assert_close(out, expected, dtype)
    if mode == velqa.PairAuto:
        kernels = [launch["kernel"] for launch in hd.launches()]
        assert [k.split("<")[0] for k in kernels[1::2]] == [
            "velqa::sqrtw_autopair::target0_no_control", "velqa::sqrtw_autopair::no_control",
            "velqa::sqrtw_autopair::target0_compact", "velqa::sqrtw_autopair::compact"]
