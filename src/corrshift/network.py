"""The significant pairs of a pair table as a network: the genes (rows) are the nodes, each
pair an edge whose attributes are the pair's statistics.

* :func:`to_networkx` -- a :class:`networkx.Graph` (needs networkx: ``pip install
  'corrshift[network]'``); the graph's attributes say what the run was.
* :func:`write_graphml` -- a GraphML file, which Cytoscape (File > Import > Network from
  File), Gephi and NetworkX read with every attribute typed; written without networkx.
* :func:`write_edge_list` -- a tab-separated edge list with one header line and no comment
  lines (``source``, ``target``, then the statistics; missing values empty), for Cytoscape's
  table import or any spreadsheet.

Each takes a :class:`~corrshift.results.PairResult` (``res.to_networkx()`` and the methods of
the same names call these) or a DataFrame of pairs, e.g. ``corrshift.get.pairs_df(adata,
within="B")`` (a table of several levels is refused: name one level). The pairs kept are
those whose q-value is at most `max_q` (the q-value column of
:func:`corrshift.get.significance`, ``q_value`` unless that names another); ``max_q=None``
keeps every pair.
"""

import math
import os
import xml.etree.ElementTree as ElementTree
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from ._inputs import InputError

#: The pair statistics that become edge attributes, in this order (those the table holds).
EDGE_ATTRIBUTES = (
    "r1", "r2", "p1", "p2", "class", "z_diff", "p_robust", "q_robust", "p_how", "n_passes",
    "p_value", "q_value", "perm_p", "perm_q",
)
#: What the graph records about the run (those the table's metadata holds).
GRAPH_ATTRIBUTES = ("group1", "group2", "n1", "n2", "method", "alternative", "permutations", "class_alpha")


def _columns_and_metadata(pairs: Any) -> Tuple[Dict[str, np.ndarray], Dict[str, Any]]:
    if hasattr(pairs, "to_dict") and hasattr(pairs, "metadata") and hasattr(pairs, "columns"):
        return pairs.to_dict(sort=True), pairs.metadata()
    if hasattr(pairs, "columns") and hasattr(pairs, "attrs"):
        columns = [str(c) for c in pairs.columns]
        if "row1" not in columns or "row2" not in columns:
            raise InputError("the network of a table needs its pairs (columns row1 and row2); got {}".format(columns))
        if columns[0] not in ("row1",) + EDGE_ATTRIBUTES and pairs[columns[0]].nunique() > 1:
            raise InputError(
                "the table holds the pairs of {} levels of {!r}: take one level, e.g. "
                "corrshift.get.pairs_df(adata, within=...)".format(pairs[columns[0]].nunique(), columns[0])
            )
        return {c: pairs[c].to_numpy() for c in columns}, dict(pairs.attrs)
    raise InputError(
        "pairs must be a pair result (corrshift.ztest) or a DataFrame of pairs (corrshift.get.pairs_df), got {}".format(
            type(pairs).__name__
        )
    )


def edges(pairs: Any, max_q: Optional[float] = 0.05) -> Tuple[List[Tuple[str, str, Dict[str, Any]]], Dict[str, Any]]:
    """The kept pairs as (gene, gene, attributes) in table order (most significant first),
    and the graph's attributes. Attribute values are plain Python values (float, int, str)."""
    from .get import significance, warn_asymptotic

    if max_q is not None and (
        isinstance(max_q, (bool, np.bool_))
        or not isinstance(max_q, (int, float, np.integer, np.floating))
        or not 0.0 <= float(max_q) <= 1.0
    ):
        raise InputError("max_q must be a q-value from 0 to 1, or None for every pair; got {!r}".format(max_q))
    columns, metadata = _columns_and_metadata(pairs)
    _, q_name = significance(columns)
    keep = np.ones(len(columns["row1"]), dtype=bool)
    if max_q is not None:
        keep = np.asarray(columns[q_name], dtype=np.float64) <= float(max_q)
        warn_asymptotic(columns.get("p_how"), keep, q_name, float(max_q))
    names = [n for n in EDGE_ATTRIBUTES if n in columns]
    values = {n: np.asarray(columns[n])[keep].tolist() for n in names}
    first = [str(v) for v in np.asarray(columns["row1"])[keep].tolist()]
    second = [str(v) for v in np.asarray(columns["row2"])[keep].tolist()]
    out = [(a, b, {n: values[n][k] for n in names}) for k, (a, b) in enumerate(zip(first, second))]
    graph = {n: metadata[n] for n in GRAPH_ATTRIBUTES if n in metadata and metadata[n] is not None}
    graph = {n: v.item() if isinstance(v, np.generic) else v for n, v in graph.items()}
    graph["significance"] = q_name
    if max_q is not None:
        graph["max_q"] = float(max_q)
    return out, graph


def to_networkx(pairs: Any, max_q: Optional[float] = 0.05) -> Any:
    """The pairs with q-value at most `max_q` as a :class:`networkx.Graph`: genes as nodes,
    pairs as edges with the pair statistics as attributes, the run in ``graph.graph``."""
    try:
        import networkx  # type: ignore[import]
    except ImportError:
        raise ImportError(
            "to_networkx needs networkx: pip install 'corrshift[network]' (or pip install networkx); "
            "write_graphml and write_edge_list need nothing more"
        ) from None
    kept, attributes = edges(pairs, max_q)
    graph = networkx.Graph(**attributes)
    graph.add_edges_from(kept)
    return graph


def _graphml_type(values: List[Any]) -> str:
    if all(isinstance(v, (bool, np.bool_)) for v in values):
        return "boolean"
    if all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in values):
        return "long"
    if all(isinstance(v, (int, float, np.integer, np.floating)) for v in values):
        return "double"
    return "string"


def _graphml_text(value: Any, kind: str) -> str:
    if kind == "double":
        number = float(value)
        return (
            "NaN" if math.isnan(number) else ("INF" if number > 0 else "-INF") if math.isinf(number) else repr(number)
        )
    if kind == "boolean":
        return "true" if value else "false"
    return str(value)


def write_graphml(pairs: Any, path: Any, max_q: Optional[float] = 0.05) -> int:
    """Write the pairs with q-value at most `max_q` as GraphML (undirected; the genes' names
    as node ids, the pair statistics as typed edge attributes, the run as graph attributes).
    Returns the number of edges written."""
    kept, attributes = edges(pairs, max_q)
    root = ElementTree.Element("graphml", xmlns="http://graphml.graphdrawing.org/xmlns")
    keys: Dict[Tuple[str, str], Tuple[str, str]] = {}
    for scope, items in (("graph", [attributes]), ("edge", [e[2] for e in kept])):
        names = list(dict.fromkeys(n for item in items for n in item))
        for name in names:
            kind = _graphml_type([item[name] for item in items if name in item])
            key_id = "{}_{}".format(scope[0], name)
            keys[(scope, name)] = (key_id, kind)
            ElementTree.SubElement(root, "key", {"id": key_id, "for": scope, "attr.name": name, "attr.type": kind})
    graph = ElementTree.SubElement(root, "graph", id="corrshift", edgedefault="undirected")
    for name, value in attributes.items():
        key_id, kind = keys[("graph", name)]
        ElementTree.SubElement(graph, "data", key=key_id).text = _graphml_text(value, kind)
    for node in dict.fromkeys(n for a, b, _ in kept for n in (a, b)):
        ElementTree.SubElement(graph, "node", id=node)
    for a, b, values in kept:
        edge = ElementTree.SubElement(graph, "edge", source=a, target=b)
        for name, value in values.items():
            key_id, kind = keys[("edge", name)]
            ElementTree.SubElement(edge, "data", key=key_id).text = _graphml_text(value, kind)
    tree = ElementTree.ElementTree(root)
    _write(path, lambda handle: tree.write(handle, encoding="utf-8", xml_declaration=True), binary=True)
    return len(kept)


def write_edge_list(pairs: Any, path: Any, max_q: Optional[float] = 0.05) -> int:
    """Write the pairs with q-value at most `max_q` as tab-separated text: a header line
    (``source``, ``target`` and the statistics), then one line per pair, most significant
    first; numbers with 6 significant digits, missing values empty. Returns the number of
    edges written."""
    kept, _ = edges(pairs, max_q)
    names = [n for n in EDGE_ATTRIBUTES if kept and n in kept[0][2]]

    def cell(value: Any) -> str:
        if isinstance(value, float):
            return "" if math.isnan(value) else "%.6g" % value
        return str(value)

    def write(handle: Any) -> None:
        handle.write("\t".join(["source", "target"] + names) + "\n")
        for a, b, values in kept:
            handle.write("\t".join([a, b] + [cell(values[n]) for n in names]) + "\n")

    _write(path, write, binary=False)
    return len(kept)


def _write(path: Any, write: Any, binary: bool) -> None:
    name = os.fspath(path)
    try:
        with open(name, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8", "newline": ""})) as handle:
            write(handle)
    except OSError as err:
        raise InputError("{}: cannot write the network: {}".format(name, err.strerror or err)) from None


__all__ = ["to_networkx", "write_graphml", "write_edge_list", "edges", "EDGE_ATTRIBUTES"]
