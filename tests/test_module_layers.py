"""The velorin package keeps its layers: faces above outputs above the router above the
map above plain values, the map read through the router's public members, and no
module reading the engine's messages."""

import subprocess
import sys
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[1] / "tools" / "module_layers.py"


def run(*args):
    return subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, text=True)


def test_the_package_imports_only_downward():
    result = run()
    assert result.returncode == 0, result.stderr
    assert "faces -> router" in result.stdout and "router -> map" in result.stdout


@pytest.mark.parametrize("module, line, fault", [
    ("route.py", "from velorin.router import Router", "velorin.route (values) may not import"),
    ("network.py", "import velorin.cli", "velorin.network (map) may not import velorin.cli"),
    ("osm/context.py", "from ..pictures import Scene", "may not import velorin.pictures"),
    ("pictures/scene.py", "nodes = router._network.lat", "private member router._network"),
    ("batch.py", "x = _row(r)._cache", "private member _row(r)._cache"),
    ("router.py", 'known = text.startswith("Aucun chemin")', "looks for the engine's words"),
    ("gadgets.py", "X = 1", "velorin.gadgets has no place in the layers"),
])
def test_a_fault_is_named(tmp_path, module, line, fault):
    root = tmp_path / "velorin"
    for name in ("__init__.py", "osm/__init__.py", "pictures/__init__.py", "cli.py",
                 "router.py"):
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text("from velorin.route import Route\n")
    (root / "router.py").write_text("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n"
                                    "    from velorin.cli import main\nx = self._network\n")
    (root / module).parent.mkdir(parents=True, exist_ok=True)
    (root / module).write_text(f"# lead\n{line}\n")
    result = run("--root", str(root))
    assert result.returncode == 1
    assert fault in result.stderr
    assert result.stderr.count("\n") == 1, result.stderr  # the sound modules pass


def test_a_circle_of_imports_is_named(tmp_path):
    root = tmp_path / "velorin"
    (root / "service").mkdir(parents=True)
    (root / "__init__.py").write_text("")
    (root / "service" / "__init__.py").write_text("")
    (root / "cli.py").write_text("from velorin.service.command import add_serve\n")
    (root / "service" / "command.py").write_text("from velorin.cli import add_map_options\n")
    result = run("--root", str(root))
    assert result.returncode == 1
    assert "circle: velorin.cli -> velorin.service.command -> velorin.cli" in result.stderr
    # Imported late, inside a function, it is the same circle; for type checks only, none.
    (root / "service" / "command.py").write_text(
        "def add_serve():\n    from velorin.cli import add_map_options\n")
    assert "circle" in run("--root", str(root)).stderr
    (root / "service" / "command.py").write_text(
        "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from velorin.cli import main\n")
    assert run("--root", str(root)).returncode == 0
