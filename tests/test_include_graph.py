"""The include graph between the folders of src/ runs one way: down from the
bindings, and the interpreter's headers stay in src/bindings/."""

import subprocess
import sys
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[1] / "tools" / "include_graph.py"


def run(*args):
    return subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, text=True)


def test_source_tree_includes_only_downward():
    result = run()
    assert result.returncode == 0, result.stderr
    assert "bindings -> graph" in result.stdout


@pytest.mark.parametrize(
    "folder, line, fault",
    [
        ("graph", '#include "bindings/python.hpp"', "src/graph/ may not include from src/bindings/"),
        ("json", '#include "routing/open_list.hpp"', "src/json/ may not include from src/routing/"),
        ("routing", "#include <Python.h>", "only src/bindings/ may include Python.h"),
        ("fault", '  #  include "graph/road_graph.hpp"', "src/fault/ may not include from src/graph/"),
    ],
)
def test_upward_include_is_refused(tmp_path, folder, line, fault):
    (tmp_path / "bindings").mkdir()
    (tmp_path / "bindings" / "ok.cpp").write_text('#include <Python.h>\n#include "graph/a.hpp"\n')
    (tmp_path / folder).mkdir()
    (tmp_path / folder / "bad.cpp").write_text(f"// lead\n{line}\n")
    result = run("--src", str(tmp_path))
    assert result.returncode == 1
    assert fault in result.stderr
    assert "ok.cpp" not in result.stderr
