"""Every exported function survives hostile and ill-shaped arguments: it returns
or raises a Python exception, and never takes the interpreter down."""

import inspect
import math

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kelvo_native as kn

NAMES = [n for n in kn.__all__ if callable(getattr(kn, n)) and not isinstance(getattr(kn, n), type)]


class Hostile:
    """Numeric and string hooks that fail or return odd values."""

    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        return math.nan

    def __str__(self):
        raise RuntimeError("no str")

    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise RuntimeError("no eq")


def self_list():
    x = [1]
    x.append(x)
    return x


def self_dict():
    d = {"id": "a", "text": "t"}
    d["metadata"] = d
    return d


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(allow_nan=True),
    st.text(max_size=20), st.sampled_from(["\ud800", "a\x00b", "ΟΔΟΣ", "  ", "x.y", "MENTIONED_IN"]),
    st.binary(max_size=40), st.just(Hostile()))
keys = st.one_of(st.sampled_from(["id", "text", "score", "vector_score", "metadata", "name", "type",
                                  "description", "chunk_ids", "symbol_name", "qualified_name",
                                  "source", "target", "relation", "weight", "fused_only",
                                  "format", "texts", "docs", "start_line", "end_line"]),
                 st.integers(0, 3), st.just(Hostile()))
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=5), st.tuples(inner, inner, inner),
                            st.dictionaries(keys, inner, max_size=5)),
    max_leaves=20)
args = st.one_of(values, st.builds(self_list), st.builds(self_dict))


@pytest.mark.parametrize("name", NAMES)
@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_no_crash_on_hostile_arguments(name, data, tmp_path_factory):
    fn = getattr(kn, name)
    params = list(inspect.signature(fn).parameters)
    call = [data.draw(args) for _ in params]
    if "path" in params:  # keep file writes inside a scratch folder
        call[params.index("path")] = str(tmp_path_factory.mktemp("p") / "store.kvh")
    try:
        fn(*call)
    except Exception:
        pass
    except BaseException as exc:  # only the module's own fault type may escape Exception
        assert type(exc).__name__ == "InternalFault", exc


@pytest.mark.parametrize("name", [n for n in NAMES if n.startswith("decode_")])
@settings(max_examples=300, deadline=None)
@given(blob=st.binary(max_size=200))
def test_decoders_return_none_or_a_value_on_any_bytes(name, blob):
    try:
        getattr(kn, name)(blob)
    except TypeError as exc:
        # A map key that decodes to a list or dict cannot be a Python dict key.
        assert "unhashable" in str(exc)
