"""The module as the interpreter sees it: namespace, types, re-import,
sub-interpreters, refused construction."""

import subprocess
import sys
import textwrap
import weakref

import pytest

import velorin_core
from velorin_core import PyGraph, PyRouteResult, compute_safe_routes

CLASSES = [
    (PyGraph, "Wrapper Python-visible du graphe C++"),
    (PyRouteResult, "Résultat retourné à Python : un itinéraire avec ses métriques complètes"),
]

# Type flags that must stay off: subclassing, cyclic GC, immutability.
TPFLAGS_IMMUTABLETYPE = 1 << 8
TPFLAGS_HEAPTYPE = 1 << 9
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14

ROUTE_ATTRIBUTES = [
    "path",
    "total_distance_m",
    "total_risk",
    "total_familiarity",
    "route_type",
    "estimated_time_min",
    "node_count",
    "comfort_score",
]


def test_namespace():
    assert velorin_core.__doc__ == ""
    assert velorin_core.__all__ == ["PyGraph", "PyRouteResult", "compute_safe_routes"]
    assert type(velorin_core.__all__) is list
    public = {name for name in vars(velorin_core) if not name.startswith("__")}
    assert public == {"PyGraph", "PyRouteResult", "compute_safe_routes"}


def test_function_object():
    assert compute_safe_routes.__name__ == "compute_safe_routes"
    assert compute_safe_routes.__module__ == "velorin_core"
    assert compute_safe_routes.__self__ is velorin_core
    assert compute_safe_routes.__text_signature__ == "(graph, source, target, eps)"
    assert compute_safe_routes.__doc__ == "\n".join(
        [
            "Calcule les 3 itinéraires Pareto-optimaux entre source et destination.",
            "",
            "# Arguments",
            "* `graph` \u2014 graphe C++ (PyGraph)",
            "* `source` \u2014 NodeId OSM de départ",
            "* `target` \u2014 NodeId OSM d'arrivée",
            "* `eps`    \u2014 approximation A*pex : 0.0 = exact, 0.1 = 10% approx (recommandé)",
        ]
    )


@pytest.mark.parametrize("cls, doc", CLASSES)
def test_type_identity(cls, doc):
    name = cls.__name__
    assert name in ("PyGraph", "PyRouteResult")
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == doc
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__flags__ & TPFLAGS_HEAPTYPE
    assert not cls.__flags__ & (TPFLAGS_BASETYPE | TPFLAGS_HAVE_GC | TPFLAGS_IMMUTABLETYPE)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0


def test_pygraph_methods():
    assert PyGraph.from_json.__text_signature__ == "(json_str)"
    assert PyGraph.from_json.__doc__ == (
        "Construit un PyGraph depuis une chaîne JSON\n"
        "Appelé depuis Python : `PyGraph.from_json(json_str)`"
    )
    assert isinstance(vars(PyGraph)["from_json"], staticmethod)
    for name, doc in [
        ("node_count", "Nombre de nœuds (utile pour les tests Python)"),
        ("edge_count", "Nombre d'arcs"),
    ]:
        method = getattr(PyGraph, name)
        assert method.__text_signature__ == "($self)"
        assert method.__doc__ == doc
    assert "__repr__" not in vars(PyGraph)


def test_route_result_descriptors():
    for name in ROUTE_ATTRIBUTES:
        descriptor = vars(PyRouteResult)[name]
        assert descriptor.__doc__ == ""
        assert descriptor.__objclass__ is PyRouteResult
    assert "__repr__" in vars(PyRouteResult)
    assert "__str__" not in vars(PyRouteResult)
    assert not any(callable(getattr(PyRouteResult, n, None)) for n in ("from_json", "node_count"))


@pytest.mark.parametrize("cls", [PyGraph, PyRouteResult])
@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((1, "x"), {}), ((), {"json_str": "{}"}), ((None,), {"a": 1})]
)
def test_refusing_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert info.type is TypeError
    assert info.value.args == (f"No constructor defined for {cls.__name__}",)
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls.__new__(cls)


@pytest.mark.parametrize("cls", [PyGraph, PyRouteResult])
def test_no_subclassing(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


def test_reimport_returns_same_module():
    import importlib

    first = importlib.import_module("velorin_core")
    assert importlib.import_module("velorin_core") is first
    saved = sys.modules.pop("velorin_core")
    try:
        again = importlib.import_module("velorin_core")
        assert again is saved
        assert again.__all__ == ["PyGraph", "PyRouteResult", "compute_safe_routes"]
        assert again.PyGraph is PyGraph
    finally:
        sys.modules["velorin_core"] = saved


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_reimport_keeps_namespace_changes():
    # Namespace edits survive removal from sys.modules: it is one module object
    # for the life of the process. Run apart so the test process keeps its module.
    result = run_python(
        """
        import sys, velorin_core
        velorin_core.marker = 42
        velorin_core.__all__.append("marker")
        del sys.modules["velorin_core"]
        import velorin_core as again
        print(again.marker, again.__all__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "42 ['PyGraph', 'PyRouteResult', 'compute_safe_routes', 'marker']"


SUBINTERPRETER_SCRIPT = """
import sys, velorin_core
code = '''
try:
    import velorin_core
except BaseException as e:
    result = type(e).__name__ + ": " + str(e)
else:
    result = "imported"
with open({out!r}, "w", encoding="utf-8") as f:
    f.write(result)
'''.format(out=sys.argv[1])
isolated = sys.argv[2] == "isolated"
if sys.version_info >= (3, 13):
    import _interpreters
    interp = _interpreters.create("isolated" if isolated else "legacy")
    _interpreters.run_string(interp, code)
    _interpreters.destroy(interp)
else:
    import _testcapi
    _testcapi.run_in_subinterp_with_config(
        code,
        use_main_obmalloc=not isolated,
        allow_fork=True,
        allow_exec=True,
        allow_threads=True,
        allow_daemon_threads=True,
        check_multi_interp_extensions=isolated,
        gil=2 if isolated else 1,  # own GIL / shared GIL
    )
"""


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_subinterpreter_refused(tmp_path, config):
    # In a subprocess: a sub-interpreter must not be able to disturb this one.
    out = tmp_path / "result.txt"
    result = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_SCRIPT, str(out), config],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    message = out.read_text(encoding="utf-8")
    if config == "legacy":
        assert message == (
            "ImportError: PyO3 modules do not yet support subinterpreters, see "
            "https://github.com/PyO3/pyo3/issues/576"
        )
    else:
        # The interpreter refuses single-phase modules itself, before ours runs.
        assert message.startswith("ImportError: ")
        assert "PyO3" not in message


def make_graph():
    return PyGraph.from_json('{"nodes": [], "edges": []}')


def test_graph_instance_has_no_dict_and_no_weakref():
    graph = make_graph()
    assert repr(graph).startswith("<builtins.PyGraph object at ")
    assert not hasattr(graph, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(graph)
    with pytest.raises(AttributeError):
        graph.extra = 1
    with pytest.raises(AttributeError):
        graph.node_count = 1
    with pytest.raises(TypeError):
        graph.node_count(1)
    assert type(graph.from_json('{"nodes": [], "edges": []}')) is PyGraph


def test_instances_release_their_type():
    # Each instance holds a reference to its heap type; deallocation must give
    # it back, or the type's count grows with every graph ever made.
    make_graph()
    before = sys.getrefcount(PyGraph)
    for _ in range(1000):
        make_graph()
    assert sys.getrefcount(PyGraph) == before


def test_stub_matches_module():
    import ast
    from pathlib import Path

    stub = Path(__file__).resolve().parents[1] / "src" / "velorin_core-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    seen = set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            cls = getattr(velorin_core, node.name)
            assert ast.get_docstring(node) == cls.__doc__
            members = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
            assert members == {n for n in vars(cls) if not n.startswith("__")}
            seen.add(node.name)
        elif isinstance(node, ast.FunctionDef):
            params = ", ".join(a.arg for a in node.args.args)
            assert getattr(velorin_core, node.name).__text_signature__ == f"({params})"
            seen.add(node.name)
    assert seen == set(velorin_core.__all__)
