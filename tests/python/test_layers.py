"""The include structure: the repository passes scripts/check_layers.py, and the check finds each
kind of fault planted in a small tree of its own."""
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import check_layers  # noqa: E402


def test_the_repository_includes_one_way(capsys):
    assert check_layers.main(["check_layers.py", ROOT]) == 0, capsys.readouterr().out


# A clean tree: each layer includes the one below, and a test includes what it likes.
CLEAN = {
    "hostdevice/launch.hpp": [],
    "common/gpu/runtime.hpp": ["hostdevice/launch.hpp"],
    "common/complex.hpp": ["common/gpu/runtime.hpp"],
    "velqa/velqa_device_state.hpp": ["common/complex.hpp"],
    "velqa/velqa_device_state.cpp": ["velqa/velqa_device_state.hpp"],
    "velqa/run_circuit.cpp": ["velqa/velqa_device_state.hpp"],
    "dormeth/run_density.cpp": ["common/complex.hpp"],
    "tests/cpp/test_x.cpp": ["velqa/run_circuit.cpp", "hostdevice/launch.hpp", "helper.hpp"],
    "tests/cpp/helper.hpp": [],
}


@pytest.mark.parametrize("planted, finding", [
    ({}, None),
    ({"velqa/gate_record.hpp": ["velqa/gate_traits.hpp"], "velqa/gate_traits.hpp": ["velqa/gate_record.hpp"]},
     "include cycle between velqa/gate_record, velqa/gate_traits: velqa/gate_record.hpp:1 -> velqa/gate_traits; "
     "velqa/gate_traits.hpp:1 -> velqa/gate_record"),
    ({"common/gpu/runtime.hpp": ["hostdevice/launch.hpp", "common/parse.hpp"], "common/parse.hpp": []},
     "common/gpu/runtime.hpp:2: includes common/parse.hpp, which runs up: common is above runtime switch"),
    ({"velqa/velqa_device_state.hpp": ["velqa/velqa_module.hpp"], "velqa/velqa_module.hpp": []},
     "velqa/velqa_device_state.hpp:1: includes velqa/velqa_module.hpp, which runs up: "
     "velqa bindings is above velqa state and records"),
    ({"dormeth/run_density.cpp": ["velqa/velqa_device_state.hpp"]},
     "dormeth/run_density.cpp:1: includes velqa/velqa_device_state.hpp, which runs up: "
     "velqa state and records is another module"),
    ({"common/complex.hpp": ["hostdevice/launch.hpp"]},
     "common/complex.hpp:1: includes hostdevice/launch.hpp, which runs up: "
     "only the runtime switch (common/gpu/) includes hostdevice/"),
    ({"common/parse.cpp": ["tests/cpp/helper.hpp"]},
     "common/parse.cpp:1: includes tests/cpp/helper.hpp, which runs up: "
     "a client (tests, benchmarks, examples) is above every layer"),
    ({"velqa/stray.cpp": []}, "velqa/stray.cpp: in no layer (add its unit to scripts/check_layers.py)"),
    ({"common/parse.cpp": ["common/missing.hpp"]}, "common/parse.cpp:1: includes \"common/missing.hpp\", which no "
     "file has"),
], ids=["clean", "cycle", "switch-includes-common", "records-include-bindings", "module-includes-module",
        "common-skips-the-switch", "includes-a-test", "no-layer", "missing-file"])
def test_planted_faults_are_found(tmp_path, planted, finding):
    for path, included in {**CLEAN, **planted}.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text("".join(f'#include "{i}"\n' for i in included) + "#include <vector>\n")
    (tmp_path / "build" / "velqa").mkdir(parents=True)  # build folders are not sources
    (tmp_path / "build" / "velqa" / "generated.cpp").write_text('#include "nowhere.hpp"\n')
    assert check_layers.findings(str(tmp_path)) == ([finding] if finding else [])
