"""Knowledge-graph functions: entity and relation merge, edge lists, Louvain,
alias groups and code-to-prose edges."""

import copy
import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kelvo_native as kn
from models import graph as model

GRAPH_FUNCTIONS = [
    ("build_code_doc_bridge_edges", "(sym_lookup, prose_chunks, existing_edge_tuples)",
     "Scan prose chunks for occurrences of code symbol names and emit new MENTIONED_IN edges."),
    ("build_graph_edges", "(entity_graph, relation_graph)",
     "Convert entity_graph and relation_graph Python dicts into flat node/edge lists"),
    ("run_louvain", "(nodes, edges, resolution=1.0)",
     "Run Louvain community detection on a weighted undirected graph."),
    ("merge_entities_into_graph", "(entity_graph, results)",
     "Merge a batch of per-chunk entity extraction results into the existing entity graph."),
    ("merge_relations_into_graph", "(relation_graph, results)",
     "Merge per-chunk relation extraction results into the existing relation graph."),
    ("resolve_entity_alias_groups", "(embeddings, threshold)",
     "Group embedding row indices whose cosine similarity exceeds `threshold`."),
]


# ---- registration -------------------------------------------------------------------

def test_registration_order_signatures_and_docstrings():
    names = [n for n, _, _ in GRAPH_FUNCTIONS]
    positions = [kn.__all__.index(n) for n in names]
    assert positions == sorted(positions)
    for name, sig, first in GRAPH_FUNCTIONS:
        fn = getattr(kn, name)
        assert fn.__text_signature__ == sig
        assert fn.__doc__.split("\n")[0] == first
        assert fn.__module__ == "kelvo_native"
    assert kn.merge_entities_into_graph.__doc__.endswith("Returns count of new entity keys inserted.")
    assert "  - Normalised key = name.lower().strip()\n" in kn.merge_entities_into_graph.__doc__
    assert kn.run_louvain.__doc__.endswith("Returns empty dict for an empty graph.")


@pytest.mark.parametrize("call, message", [
    (lambda: kn.run_louvain(),
     "run_louvain() missing 2 required positional arguments: 'nodes' and 'edges'"),
    (lambda: kn.build_code_doc_bridge_edges(),
     "build_code_doc_bridge_edges() missing 3 required positional arguments: 'sym_lookup', "
     "'prose_chunks', and 'existing_edge_tuples'"),
    (lambda: kn.merge_entities_into_graph({}, ()),
     "argument 'results': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: kn.merge_relations_into_graph([], []),
     "argument 'relation_graph': 'list' object cannot be converted to 'PyDict'"),
    (lambda: kn.build_graph_edges({}, None),
     "argument 'relation_graph': 'NoneType' object cannot be converted to 'PyDict'"),
    (lambda: kn.run_louvain(("a",), []),
     "argument 'nodes': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: kn.resolve_entity_alias_groups([], "0.5"), "argument 'threshold': "),
    (lambda: kn.build_code_doc_bridge_edges({}, [{"id": "a"}, "chunk"], []),
     "'str' object cannot be converted to 'PyDict'"),
    (lambda: kn.build_code_doc_bridge_edges({}, [], ("a", "b", "c")),
     "argument 'existing_edge_tuples': 'tuple' object cannot be converted to 'PyList'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)
    if message.endswith("'PyDict'") and not message.startswith("argument"):
        assert str(info.value) == message


# ---- entity merge -----------------------------------------------------------------------

def test_entity_record_shape_and_repeats():
    g = {}
    n = kn.merge_entities_into_graph(g, [
        ("d1", [{"name": "  Alice ", "description": "a person", "extra": 1}, {"name": "ALICE"}]),
        ("d2", [{"name": "alice", "type": "PERSON", "description": "other"}]),
        ("d3", [{"name": "Alice", "type": "ORG"}]),
    ])
    assert n == 1
    rec = g["alice"]
    assert list(rec) == ["description", "type", "chunk_ids", "frequency", "degree"]
    assert rec == {"description": "a person", "type": "PERSON", "chunk_ids": ["d1", "d2", "d3"],
                   "frequency": 3, "degree": 0}


@pytest.mark.parametrize("graph, results, expected_graph, expected_count", [
    ({}, [], {}, 0),
    ({}, [("d1",), "d1", ("d1", "x"), ("d1", ({"name": "a"},)), 5], {}, 0),
    # blank, missing or non-str names are skipped
    ({}, [("d1", [{"name": " \u3000\t"}, {"type": "X"}, {"name": 7}, "a", None])], {}, 0),
    # a non-str doc id reads as ""
    ({}, [(7, [{"name": "Bob"}])],
     {"bob": {"description": "", "type": "UNKNOWN", "chunk_ids": [""], "frequency": 1,
              "degree": 0}}, 1),
    # an empty type is kept, later filled in
    ({}, [["d1", [{"name": "x", "type": ""}]], ["d2", [{"name": "x", "type": "T"}]]],
     {"x": {"description": "", "type": "T", "chunk_ids": ["d1", "d2"], "frequency": 2,
            "degree": 0}}, 1),
    # frequency follows the chunk list, not the stored value
    ({"x": {"chunk_ids": ["a", "b"], "frequency": 7}}, [("c", [{"name": "X"}])],
     {"x": {"chunk_ids": ["a", "b", "c"], "frequency": 3}}, 0),
    ({"x": {"chunk_ids": ["a", "b"], "frequency": 7}}, [("a", [{"name": "X"}])],
     {"x": {"chunk_ids": ["a", "b"], "frequency": 2}}, 0),
    # chunk_ids that is a tuple: no append, frequency 1
    ({"x": {"chunk_ids": ("a",), "type": "K"}}, [("b", [{"name": "x", "type": "Q"}])],
     {"x": {"chunk_ids": ("a",), "type": "K", "frequency": 1}}, 0),
    # missing chunk_ids gets a new list
    ({"x": {}}, [("b", [{"name": "x"}])], {"x": {"chunk_ids": ["b"], "frequency": 1}}, 0),
    # a non-dict record is left alone
    ({"x": "keep"}, [("b", [{"name": "x"}])], {"x": "keep"}, 0),
    # "UNKNOWN" is case-sensitive; "unknown" is a real type
    ({"x": {"type": "unknown"}}, [("b", [{"name": "x", "type": "T"}])],
     {"x": {"type": "unknown", "chunk_ids": ["b"], "frequency": 1}}, 0),
])
def test_entity_merge_cases(graph, results, expected_graph, expected_count):
    got = kn.merge_entities_into_graph(graph, results)
    assert got == expected_count
    assert graph == expected_graph


def test_entity_merge_appends_to_callers_list_and_unicode_keys():
    chunks = ["d0"]
    g = {"straße": {"type": "UNKNOWN", "chunk_ids": chunks}}
    kn.merge_entities_into_graph(g, [("d1", [{"name": "STRASSE"}, {"name": "Straße"},
                                             {"name": "\u0130x"}, {"name": "ΟΔΟΣ"}])])
    assert g["straße"]["chunk_ids"] is chunks and chunks == ["d0", "d1"]
    assert "i\u0307x" in g and "οδος" in g  # full lower-casing, final sigma
    assert "strasse" in g


# ---- relation merge -------------------------------------------------------------------

def test_relation_record_and_repeats():
    g = {}
    assert kn.merge_relations_into_graph(
        g, [("c1", [{"subject": "Alice", "relation": "works_at", "object": "Acme"}])]) == 1
    rec = g["alice"][0]
    assert list(rec) == ["target", "relation", "chunk_id", "description", "strength", "weight",
                         "support_count", "text_unit_ids"]
    assert rec == {"target": "acme", "relation": "works_at", "chunk_id": "c1", "description": "",
                   "strength": 5, "weight": 5.0, "support_count": 1, "text_unit_ids": ["c1"]}
    units = rec["text_unit_ids"]
    assert kn.merge_relations_into_graph(g, [("c2", [("ALICE ", " works_at ", " acme")])]) == 0
    assert kn.merge_relations_into_graph(g, [("c2", [{"source": "alice", "target": "ACME",
                                                      "relation": "works_at"}])]) == 0
    assert rec["weight"] == 15.0 and rec["support_count"] == 3 and rec["chunk_id"] == "c1"
    assert rec["text_unit_ids"] is units and units == ["c1", "c2"]
    assert kn.merge_relations_into_graph(g, [("c3", [("alice", "WORKS_AT", "acme")])]) == 1
    assert len(g["alice"]) == 2


@pytest.mark.parametrize("triple, expected", [
    ({"subject": "A", "source": "B", "relation": "r", "object": "o"}, ("a", "o", "r", 5)),
    ({"subject": None, "source": "B", "relation": "r"}, None),
    ({"source": " B ", "target": "T", "relation": 5}, ("b", "t", "", 5)),
    ({"subject": "A", "relation": "r", "strength": 2}, ("a", "", "r", 2)),
    ({"subject": "A", "relation": "r", "strength": -1}, ("a", "", "r", 5)),
    ({"subject": "A", "relation": "r", "strength": 2.5}, ("a", "", "r", 5)),
    ({"subject": "A", "relation": "r", "strength": "7"}, ("a", "", "r", 5)),
    ({"subject": "A", "relation": "r", "strength": True}, ("a", "", "r", 1)),
    ({"subject": "A", "relation": "r", "strength": 2 ** 64}, ("a", "", "r", 5)),
    ({"subject": " \u2003 ", "relation": "r"}, None),
    (("S", 1, None), ("s", "", "", 5)),
    ((5, "r", "o"), None),
    (("a", "r"), None),
    (["a", "r", "b"], None),
    ("a r b", None),
])
def test_relation_triple_reading(triple, expected):
    g = {}
    n = kn.merge_relations_into_graph(g, [("c1", [triple])])
    if expected is None:
        assert n == 0 and g == {}
        return
    src, tgt, rel, strength = expected
    rec = g[src][0]
    assert (rec["target"], rec["relation"], rec["strength"], rec["weight"]) == (
        tgt, rel, strength, float(strength))


@pytest.mark.parametrize("graph, expected_edges", [
    ({"a": {"x": 1}}, None),          # non-list value replaced
    ({"a": "edges"}, None),
    ({"a": [{"target": "b", "relation": "r"}]}, {"weight": 1.0 + 3, "support_count": 2,
                                                   "text_unit_ids": ["c9"]}),
    ({"a": [{"target": "b", "relation": "r", "weight": "w", "support_count": -4,
             "text_unit_ids": ("z",)}]},
     {"weight": 4.0, "support_count": 2, "text_unit_ids": ("z",)}),
    ({"a": [{"target": "b", "relation": "r", "weight": 2, "support_count": 2 ** 64 - 1,
             "text_unit_ids": [1, "c9"]}]},
     {"weight": 5.0, "support_count": 2 ** 64, "text_unit_ids": [1, "c9"]}),
])
def test_relation_existing_records(graph, expected_edges):
    n = kn.merge_relations_into_graph(
        graph, [("c9", [{"subject": "A", "object": "B", "relation": " r ", "strength": 3}])])
    if expected_edges is None:
        assert n == 1 and len(graph["a"]) == 1 and graph["a"][0]["weight"] == 3.0
    else:
        assert n == 0
        rec = graph["a"][0]
        for k, v in expected_edges.items():
            assert rec[k] == v


def test_relation_skips_non_str_doc_id_and_non_dict_records():
    g = {"a": ["junk", {"target": "b", "relation": "r"}]}
    assert kn.merge_relations_into_graph(g, [(1, [("a", "r", "b")]), ("d", "notalist")]) == 0
    assert g == {"a": ["junk", {"target": "b", "relation": "r"}]}
    assert kn.merge_relations_into_graph(g, [("d", [("a", "r", "b")])]) == 0
    assert g["a"][1]["weight"] == 6.0


# ---- hostile keys and failing writes ---------------------------------------------------------

class Collide(str):
    """A str whose hash equals that of another str and whose comparisons raise or mutate."""

    def __new__(cls, text, like, action):
        obj = super().__new__(cls, text)
        obj.like = like
        obj.action = action
        return obj

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        return self.action(other)


def boom(_):
    raise RuntimeError("boom")


def test_entity_lookups_that_raise_are_forgiven_and_failing_write_keeps_earlier_changes():
    # item whose "name" lookup raises: skipped
    bad_item = {Collide("zz", "name", boom): 1}
    g = {}
    assert kn.merge_entities_into_graph(g, [("d", [bad_item, {"name": "ok"}])]) == 1
    assert list(g) == ["ok"]
    # graph key colliding with 'bob' makes the insertion raise: earlier changes stay
    g = {Collide("q", "bob", boom): 0}
    with pytest.raises(RuntimeError, match="boom"):
        kn.merge_entities_into_graph(g, [("d", [{"name": "amy"}, {"name": "Bob"},
                                                {"name": "cat"}])])
    assert "amy" in g and "cat" not in g


def test_relation_failing_write_keeps_earlier_changes():
    g = {Collide("q", "bob", boom): 0}
    with pytest.raises(RuntimeError, match="boom"):
        kn.merge_relations_into_graph(g, [("d", [("amy", "r", "x"), ("bob", "r", "y")])])
    assert g["amy"][0]["target"] == "x"


def test_callbacks_that_mutate_inputs_do_not_crash():
    g = {}
    entities = []

    def clear_all(other):
        entities.clear()
        g.clear()
        return False

    entities.extend([{Collide("k", "name", clear_all): 1, "name": "n1"}, {"name": "n2"}])
    kn.merge_entities_into_graph(g, [("d", entities)])

    rel = {}
    triples = []

    def wipe(other):
        triples.clear()
        rel.clear()
        return False

    triples.extend([{"subject": "a", "object": "b", Collide("k", "strength", wipe): 1},
                    ("c", "r", "d")])
    kn.merge_relations_into_graph(rel, [("d", triples)])

    class Weight:
        def __init__(self, edges):
            self.edges = edges

        def __float__(self):
            self.edges.clear()
            nodes.clear()
            return 2.0

    nodes = ["a", "b", "c"]
    edges = []
    edges.extend([("a", "b", Weight(edges)), ("b", "c", 1.0)])
    assert kn.run_louvain(nodes, edges) == {"a": 0, "b": 0, "c": 1}

    rows = [[1.0, 0.0]]

    class Item:
        def __float__(self):
            rows.clear()
            return 1.0

    rows.append([Item(), 0.0, 1.0])
    kn.resolve_entity_alias_groups(rows, 0.5)

    chunks = []
    armed = []

    def drop(other):
        if armed:
            chunks.clear()
            syms.clear()
        return False

    syms = {"name_one": "n1"}
    chunks.extend([{Collide("k", "id", drop): 1, "id": "c1", "text": "name_one"},
                   {"id": "c2", "text": "name_one"}])
    armed.append(True)
    assert kn.build_code_doc_bridge_edges(syms, chunks, []) == [
        {"source": "n1", "target": "c1", "edge_type": "MENTIONED_IN", "chunk_id": "c1"}]

    rg = {"a": [{"target": "b", Collide("k", "weight", lambda o: rg.clear() or False): 1}]}
    assert kn.build_graph_edges({}, rg) == ([], [("a", "b", 1.0)])


# ---- randomised comparison of the merges with the Python routines --------------------------------

names = st.sampled_from(["Alice", " alice", "ALICE ", "Bob", "bob", "\u03a3\u03a3", "Ünï", "x",
                         " ", "", "Acme Corp"])
types = st.one_of(st.none(), st.sampled_from(["", "UNKNOWN", "PERSON", "ORG", "unknown"]), st.just(3))
doc_ids = st.one_of(st.sampled_from(["d1", "d2", "d3", ""]), st.just(1))
entity = st.one_of(
    st.fixed_dictionaries({"name": names}, optional={"type": types, "description": st.one_of(
        st.none(), st.sampled_from(["", "desc", "other"]))}),
    st.sampled_from(["str", None, 5]),
)
chunk = st.one_of(st.tuples(doc_ids, st.lists(entity, max_size=5)),
                  st.lists(st.one_of(doc_ids, st.lists(entity, max_size=3)), max_size=3))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(chunk, max_size=5), max_size=4))
def test_entity_merge_matches_python_routine(batches):
    ours, theirs = {}, {}
    for batch in batches:
        a = kn.merge_entities_into_graph(ours, copy.deepcopy(batch))
        b = model.merge_entities_into_graph(theirs, copy.deepcopy(batch))
        assert a == b
        assert ours == theirs
        for k in ours:
            assert list(ours[k]) == list(theirs[k])


triple = st.one_of(
    st.fixed_dictionaries({}, optional={
        "subject": st.one_of(names, st.none()), "source": names,
        "object": st.one_of(names, st.just(4)), "target": names,
        "relation": st.sampled_from(["r", " r", "R", "", "works at"]),
        "description": st.sampled_from([" d ", "", "x"]),
        "strength": st.one_of(st.integers(-2, 9), st.just(2.5), st.just("7"))}),
    st.tuples(names, st.sampled_from(["r", " r", "R"]), names),
    st.tuples(names, names),
    st.lists(names, max_size=3),
)
rel_chunk = st.tuples(doc_ids, st.lists(triple, max_size=5))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(rel_chunk, max_size=5), max_size=4))
def test_relation_merge_matches_python_routine(batches):
    ours, theirs = {}, {}
    for batch in batches:
        assert kn.merge_relations_into_graph(ours, copy.deepcopy(batch)) == \
            model.merge_relations_into_graph(theirs, copy.deepcopy(batch))
        assert ours == theirs
        assert kn.build_graph_edges(ours, ours) == model.build_graph_edges(ours, ours)


# ---- edge lists -----------------------------------------------------------------------------

def test_graph_edges_cases():
    assert kn.build_graph_edges({}, {}) == ([], [])
    assert kn.build_graph_edges({"a": 1, "b": {}}, {}) == (["a", "b"], [])
    key = ("tuple", "key")
    nodes, edges = kn.build_graph_edges({7: 0, key: 1}, {})
    assert nodes == [7, key] and nodes[1] is key
    rg = {
        "a": [{"target": "b"}, {"target": "c", "weight": 2}, {"target": ""}, {"weight": 3},
              "junk", {"target": "d", "weight": "heavy"}, {"target": 5},
              {"target": "e", "weight": float("-inf")}, {"target": "a", "weight": True}],
        "x": {"target": "y"},
        9: [{"target": "z"}],
    }
    nodes, edges = kn.build_graph_edges({"a": 0}, rg)
    assert edges == [("a", "b", 1.0), ("a", "c", 2.0), ("a", "d", 1.0), ("a", "e", float("-inf")),
                     ("a", "a", 1.0)]
    assert all(type(w) is float for _, _, w in edges)


# ---- Louvain -----------------------------------------------------------------------------------

TRIANGLES = [("a", "b", 1.0), ("b", "c", 1.0), ("a", "c", 1.0), ("d", "e", 1.0), ("e", "f", 1.0),
             ("d", "f", 1.0), ("c", "d", 1.0)]


@pytest.mark.parametrize("nodes, edges, kwargs, expected", [
    ([], [("a", "b", 1.0)], {}, {}),
    (["x", "y", "z"], [], {}, {"x": 0, "y": 1, "z": 2}),
    (["x", "y", "z"], [("x", "y", 2.0)], {}, {"x": 0, "y": 0, "z": 1}),
    (list("abcdef"), TRIANGLES, {}, {"a": 0, "b": 0, "c": 0, "d": 1, "e": 1, "f": 1}),
    (["x", "y"], [("x", "q"), ("q", "y", 1.0)], {}, {"x": 0, "y": 1}),
    (["x", "y"], [("x", "y", 0.0)], {}, {"x": 0, "y": 1}),
    (["x", "y", "z"], [("x", "y", 1.0), ("y", "z", -3.0)], {}, {"x": 0, "y": 1, "z": 2}),
    (list("abc"), [("a", "b"), ("b", "c"), ("c", "c", 1.0)], {}, {"a": 0, "b": 0, "c": 0}),
    (list("abc"), [("a", "b"), ("b", "c"), ["c", "c", 1.0]], {}, {"a": 0, "b": 0, "c": 1}),
    (["a", "b", "a"], [("a", "b")], {}, {"a": 1, "b": 1}),
    ([1, "b", None], [(2.5, "b"), ("b",), "ab", ("b", None, "w")], {}, {"": 1, "b": 1}),
])
def test_louvain_cases(nodes, edges, kwargs, expected):
    got = kn.run_louvain(nodes, edges, **kwargs)
    assert got == expected
    assert list(got) == list(expected)


@pytest.mark.parametrize("resolution", [0, -1.0, float("nan"), float("inf")])
def test_louvain_bad_resolution_is_one(resolution):
    assert kn.run_louvain(list("abcdef"), TRIANGLES, resolution) == kn.run_louvain(
        list("abcdef"), TRIANGLES)


def test_louvain_four_cycle():
    got = kn.run_louvain(list("abcd"), [("a", "b"), ("b", "c"), ("c", "d"), ("d", "a")])
    assert got in ({"a": 0, "b": 0, "c": 1, "d": 1}, {"a": 0, "d": 0, "b": 1, "c": 1})


@st.composite
def weighted_graphs(draw):
    n = draw(st.integers(1, 14))
    labels = [draw(st.sampled_from("abcdefghijklmnop")) for _ in range(n)]
    edges = []
    for _ in range(draw(st.integers(0, 30))):
        a = draw(st.sampled_from(labels + ["zz"]))
        b = draw(st.sampled_from(labels))
        w = draw(st.one_of(st.integers(0, 5), st.floats(-1, 5, allow_nan=False), st.none()))
        shape = draw(st.sampled_from(["tuple", "list", "short"]))
        if shape == "short" or w is None:
            edges.append((a, b) if shape != "list" else [a, b])
        else:
            edges.append((a, b, w) if shape == "tuple" else [a, b, w])
    res = draw(st.sampled_from([1.0, 0.5, 2.0, 0.0]))
    return labels, edges, res


@settings(max_examples=400, deadline=None)
@given(weighted_graphs())
def test_louvain_matches_python_routine(g):
    labels, edges, res = g
    got = kn.run_louvain(labels, edges, res)
    want = model.run_louvain(labels, edges, res)
    assert got == want and list(got) == list(want)


def test_louvain_larger_random_graph_matches_python_routine():
    rng = random.Random(7)
    labels = [f"n{i}" for i in range(400)]
    edges = []
    for _ in range(1500):
        a, b = rng.randrange(400), rng.randrange(400)
        if rng.random() < 0.7:
            b = (a // 20) * 20 + rng.randrange(20)
        edges.append((labels[a], labels[b], rng.choice([1.0, 0.5, 2.0, rng.random()])))
    got = kn.run_louvain(labels, edges)
    assert got == model.run_louvain(labels, edges)
    assert len(set(got.values())) < 100


# ---- alias groups -------------------------------------------------------------------------------

def unit(deg):
    return [math.cos(math.radians(deg)), math.sin(math.radians(deg))]


@pytest.mark.parametrize("rows, threshold, expected", [
    ([], 0.5, []),
    (["x", None, (1.0, 0.0)], 0.5, []),
    ([[1, 0], [0.99, 0.1], [0, 1]], 0.9, [[0, 1]]),
    ([[1, 0], [2, 0]], 1.0, [[0, 1]]),
    ([[1, 0], [2, 0]], float("nan"), []),
    ([[0, 0], [0, 0], [1, 0]], 0.0, [[0, 1, 2]]),
    ([[0, 0], [0, 0], [1, 0]], 0.1, []),
    ([[1, 0, 0], [1]], 0.5, [[0, 1]]),
    ([[], []], -5.0, []),
    ([[1, 0], "x", [1, 0]], 0.5, [[0, 1]]),
    ([[1, "a", None], [1, 0, 0]], 0.99, [[0, 1]]),
    ([unit(a) for a in (180, 0, 90, 40, 20, 100)], 0.9, [[2, 5], [1, 3, 4]]),
])
def test_alias_group_cases(rows, threshold, expected):
    assert kn.resolve_entity_alias_groups(rows, threshold) == expected


@st.composite
def embedding_rows(draw):
    n = draw(st.integers(0, 40))
    same = draw(st.booleans())
    dim = draw(st.integers(0, 6))
    rows = []
    for _ in range(n):
        d = dim if same else draw(st.integers(0, 6))
        rows.append([draw(st.one_of(st.sampled_from([0.0, 1.0, -1.0, 0.5]),
                                    st.floats(-4, 4, allow_nan=False, width=32)))
                     for _ in range(d)])
    return rows, draw(st.sampled_from([0.9, 0.5, 0.0, 1.0, -0.5]))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(embedding_rows())
def test_alias_groups_match_python_routine(data):
    rows, threshold = data
    assert kn.resolve_entity_alias_groups(rows, threshold) == \
        model.resolve_entity_alias_groups(rows, threshold)


@pytest.mark.parametrize("n, dim, seed", [(150, 7, 1), (97, 33, 2), (70, 16, 3)])
def test_alias_groups_bit_exact_at_threshold(n, dim, seed):
    """Thresholds equal to computed similarities: one ulp of difference would change the groups."""
    rng = random.Random(seed)
    centres = [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(8)]
    rows = [[c + rng.gauss(0, 0.15) for c in rng.choice(centres)] for _ in range(n)]
    import numpy as np
    f = np.float32
    normed = []
    for r in rows:
        r32 = [f(x) for x in r]
        s = f(0)
        for x in r32:
            s = f(s + f(x * x))
        inv = f(f(1) / f(np.sqrt(s)))
        normed.append([f(x * inv) for x in r32])
    for l, m in [(0, 1), (3, 50), (10, n - 1)]:
        acc = f(0)
        for a, b in zip(normed[l], normed[m]):
            acc = f(acc + f(a * b))
        thr = float(acc)
        assert kn.resolve_entity_alias_groups(rows, thr) == \
            model.resolve_entity_alias_groups(rows, thr)
        bumped = float(np.nextafter(acc, f(2)))
        assert kn.resolve_entity_alias_groups(rows, bumped) == \
            model.resolve_entity_alias_groups(rows, bumped)


# ---- code-to-prose bridge edges -----------------------------------------------------------------

EDGE = {"source": "sym:1", "target": "c1", "edge_type": "MENTIONED_IN", "chunk_id": "c1"}


@pytest.mark.parametrize("text, found", [
    ("Call parse_config() first.", True),
    ("Call parse_configs first.", False),
    ("PARSE_CONFIG is read", True),
    ("_parse_config", True),
    ("x1parse_config", False),
    ("parse_config", True),
    ("parse_config9", False),
    ("é parse_configé", True),
    ("parse_confi", False),
])
def test_bridge_name_search(text, found):
    got = kn.build_code_doc_bridge_edges({"parse_config": "sym:1"}, [{"id": "c1", "text": text}], [])
    assert got == ([EDGE] if found else [])


def test_bridge_cases():
    assert kn.build_code_doc_bridge_edges({"abcd": "n"}, [], []) == []
    assert kn.build_code_doc_bridge_edges({}, [{"id": "c", "text": "abcd"}], []) == []
    with pytest.raises(TypeError, match="^'str' object cannot be converted to 'PyDict'$"):
        kn.build_code_doc_bridge_edges({}, ["c"], [])
    chunk = {"id": "c1", "text": "Call parse_config() first."}
    assert kn.build_code_doc_bridge_edges(
        {"parse_config": "sym:1"}, [chunk], [("sym:1", "c1", "MENTIONED_IN")]) == []
    assert kn.build_code_doc_bridge_edges(
        {"parse_config": "sym:1"}, [chunk], [["sym:1", "c1", "MENTIONED_IN"],
                                             ("sym:1", "c1", "CALLS"), ("sym:1", "c1")]) == [EDGE]
    # two names of one node: one edge; the edge order is symbol order per chunk
    got = kn.build_code_doc_bridge_edges(
        {"Config": "n2", "parse_config": "sym:1", "first": "n2", "": "x", 5: "y", "call": ""},
        [chunk, {"id": "c2", "text": "config xConfig"}, {"id": "c3", "text": "xConfig config"},
         {"id": 4, "text": "Config"}, {"id": "c5"}, {"id": "c1", "text": "first"}], [])
    assert [(e["source"], e["target"]) for e in got] == [
        ("n2", "c1"), ("sym:1", "c1"), ("n2", "c2"), ("n2", "c3")]


alphabet = st.sampled_from(list("aAbB_1 .-é\n") + ["ab", "AB", "b_a"])
sym_names = st.text(st.sampled_from(list("aAbB_1.é ")), min_size=1, max_size=4)


@settings(max_examples=400, deadline=None)
@given(st.dictionaries(st.one_of(sym_names, st.just(3)),
                       st.one_of(st.sampled_from(["n1", "n2", "n3", ""]), st.none()), max_size=8),
       st.lists(st.fixed_dictionaries({"id": st.sampled_from(["c1", "c2", "", "c3"]),
                                       "text": st.lists(alphabet, max_size=12).map("".join)}),
                max_size=6),
       st.lists(st.tuples(st.sampled_from(["n1", "n2"]), st.sampled_from(["c1", "c2"]),
                          st.sampled_from(["MENTIONED_IN", "X"])), max_size=3))
def test_bridge_matches_python_routine(syms, chunks, existing):
    assert kn.build_code_doc_bridge_edges(syms, chunks, existing) == \
        model.build_code_doc_bridge_edges(syms, chunks, existing)


def test_bridge_many_names_matches_python_routine():
    rng = random.Random(5)
    words = ["".join(rng.choice("abcdeXY_") for _ in range(rng.randint(2, 7))) for _ in range(300)]
    syms = {w: f"node{i % 40}" for i, w in enumerate(words)}
    chunks = [{"id": f"c{i}", "text": " ".join(rng.choice(words + ["zz", "a.b"])
                                               for _ in range(30))} for i in range(30)]
    assert kn.build_code_doc_bridge_edges(syms, chunks, [("node1", "c3", "MENTIONED_IN")]) == \
        model.build_code_doc_bridge_edges(syms, chunks, [("node1", "c3", "MENTIONED_IN")])


@pytest.mark.parametrize("program", ["alias_kernels", "name_search"])
def test_native_kernels(program, tmp_path):
    """alias_kernels: every pairwise kernel (scalar, AVX2, AVX-512) gives the same groups;
    name_search: both automaton forms find exactly the names a direct search finds."""
    import os
    import shutil
    import subprocess

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    lib = os.path.join(root, "build", "libkelvo_core.a")
    cxx = shutil.which("c++") or shutil.which("g++")
    if not (cxx and os.path.exists(lib)):
        pytest.skip("needs a C++ compiler and the in-tree build (make dev)")
    exe = tmp_path / program
    subprocess.run([cxx, "-std=c++20", "-O2", "-ffp-contract=off", "-I", os.path.join(root, "src"),
                    os.path.join(root, "tests", "native", program + ".cpp"), lib, "-o", str(exe)],
                   check=True)
    out = subprocess.run([str(exe)], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout
