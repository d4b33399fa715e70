from typing import SupportsFloat, SupportsIndex, final

__all__ = ["PyGraph", "PyRouteResult", "compute_safe_routes"]

@final
class PyGraph:
    """Wrapper Python-visible du graphe C++"""

    @staticmethod
    def from_json(json_str: str) -> PyGraph: ...
    def node_count(self) -> int: ...
    def edge_count(self) -> int: ...

@final
class PyRouteResult:
    """Résultat retourné à Python : un itinéraire avec ses métriques complètes"""

    @property
    def path(self) -> list[int]: ...
    @property
    def total_distance_m(self) -> float: ...
    @property
    def total_risk(self) -> float: ...
    @property
    def total_familiarity(self) -> float: ...
    @property
    def route_type(self) -> str: ...
    @property
    def estimated_time_min(self) -> float: ...
    @property
    def node_count(self) -> int: ...
    @property
    def comfort_score(self) -> float: ...

def compute_safe_routes(
    graph: PyGraph,
    source: SupportsIndex,
    target: SupportsIndex,
    eps: SupportsFloat | SupportsIndex,
) -> list[PyRouteResult]: ...
