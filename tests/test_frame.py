"""Module initialisation, the index classes and the shared argument binder."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import kelvo_native as kn

# The exported functions in registration order.
REGISTRATION_ORDER = [
    "preprocess_documents", "build_bm25_index", "search_bm25", "symbol_channel_search",
    "build_symbol_index", "search_symbol_index", "compute_doc_hash",
    "extract_code_query_tokens", "code_lexical_scores", "decode_corpus_json",
    "encode_corpus_msgpack", "decode_corpus_msgpack", "compute_sha256",
    "save_hash_store_binary", "load_hash_store_binary", "probe_hash_store",
    "encode_sentence_index", "decode_sentence_index", "encode_sentence_meta",
    "decode_sentence_meta", "segment_text", "cosine_similarity", "score_fusion_weighted",
    "score_fusion_rrf", "dedupe_best_by_id", "filter_results_by_threshold", "mmr_rerank",
    "build_code_doc_bridge_edges", "encode_entity_graph", "decode_entity_graph",
    "encode_relation_graph", "decode_relation_graph", "encode_entity_embeddings",
    "decode_entity_embeddings", "build_dedup_corpus_payload", "build_graph_edges",
    "run_louvain", "merge_entities_into_graph", "merge_relations_into_graph",
    "resolve_entity_alias_groups",
]

FUNCTIONS = [getattr(kn, n) for n in REGISTRATION_ORDER]


def test_all_lists_classes_then_functions_in_registration_order():
    assert len(REGISTRATION_ORDER) == 40
    assert kn.__all__ == ["Bm25Index", "SymbolIndex", *REGISTRATION_ORDER]
    assert set(kn.__all__) <= set(dir(kn))


def test_reimport_yields_the_same_module_object():
    first = sys.modules["kelvo_native"]
    del sys.modules["kelvo_native"]
    try:
        again = importlib.import_module("kelvo_native")
        assert again is first
        assert again.__all__ is first.__all__
    finally:
        sys.modules["kelvo_native"] = first


def test_subinterpreter_import_is_refused():
    code = textwrap.dedent("""
        import _interpreters, kelvo_native
        iid = _interpreters.create('legacy')
        err = _interpreters.exec(iid, 'import kelvo_native')
        print(err.type.__name__)
        print(err.msg)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={"PYTHONPATH": ":".join(sys.path)})
    assert out.returncode == 0, out.stderr
    kind, msg = out.stdout.splitlines()[:2]
    assert kind == "ImportError"
    assert "subinterpreters" in msg


def test_module_metadata():
    assert kn.__name__ == "kelvo_native"
    assert kn.__doc__ is None


@pytest.mark.parametrize("cls", [kn.Bm25Index, kn.SymbolIndex])
def test_index_classes_are_opaque(cls):
    name = cls.__name__
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not [a for a in vars(cls) if not a.startswith("__")]


def test_index_instances_have_no_dict():
    index = kn.build_bm25_index([{"text": "a"}])
    assert type(index) is kn.Bm25Index
    assert not hasattr(index, "__dict__")
    with pytest.raises(AttributeError):
        index.x = 1


@pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda f: f.__name__)
def test_function_objects_are_builtins_bound_to_the_module(fn):
    assert type(fn) is type(len)
    assert fn.__module__ == "kelvo_native"
    assert fn.__self__ is kn
    assert fn.__qualname__ == fn.__name__
    sig = fn.__text_signature__
    assert sig.startswith("(") and sig.endswith(")")
    # Every parameter is positional-or-keyword.
    params = inspect.signature(fn).parameters.values()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)


def test_text_signatures_and_docstrings():
    assert kn.build_bm25_index.__text_signature__ == "(corpus)"
    assert kn.build_bm25_index.__doc__ is None
    assert kn.search_bm25.__text_signature__ == "(index, query, top_k)"
    assert kn.preprocess_documents.__doc__ is None
    assert kn.compute_sha256.__doc__.startswith("Return the SHA-256 hex digest")
    assert kn.compute_sha256.__doc__ == (
        "Return the SHA-256 hex digest of `text` (UTF-8 encoded, leading/trailing\n"
        "whitespace stripped).\n\n"
        'Mirrors: `hashlib.sha256(text.strip().encode("utf-8")).hexdigest()`')
    assert kn.compute_doc_hash.__doc__ == (
        "Return the MD5 hex digest of `text` \u2014 matches Python "
        "`hashlib.md5(text.encode()).hexdigest()`.")
    assert kn.cosine_similarity.__doc__ == (
        "Compute cosine similarity between two float vectors.\n"
        "Returns 0.0 for zero-norm vectors (avoids div-by-zero).")


BINDING_ERRORS = [
    (lambda: kn.cosine_similarity([1.0]),
     "cosine_similarity() missing 1 required positional argument: 'b'"),
    (lambda: kn.cosine_similarity(),
     "cosine_similarity() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: kn.search_bm25(),
     "search_bm25() missing 3 required positional arguments: 'index', 'query', and 'top_k'"),
    (lambda: kn.search_bm25(query="q"),
     "search_bm25() missing 2 required positional arguments: 'index' and 'top_k'"),
    (lambda: kn.compute_sha256("a", "b"),
     "compute_sha256() takes 1 positional arguments but 2 were given"),
    (lambda: kn.search_bm25(1, 2, 3, 4),
     "search_bm25() takes 3 positional arguments but 4 were given"),
    (lambda: kn.compute_sha256("a", text="b"),
     "compute_sha256() got multiple values for argument 'text'"),
    (lambda: kn.compute_sha256(txt="b"),
     "compute_sha256() got an unexpected keyword argument 'txt'"),
    (lambda: kn.compute_sha256(Text="b"),
     "compute_sha256() got an unexpected keyword argument 'Text'"),
    (lambda: kn.cosine_similarity(b=[1], a=[1], c=2),
     "cosine_similarity() got an unexpected keyword argument 'c'"),
]


@pytest.mark.parametrize("call,message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_keywords_bind_in_any_order():
    assert kn.cosine_similarity(b=[1.0, 0.0], a=[1.0, 0.0]) == 1.0
    index = kn.build_bm25_index(corpus=[{"text": "a b"}])
    assert kn.search_bm25(top_k=1, query="a", index=index) == kn.search_bm25(index, "a", 1)


def test_binding_fails_before_any_conversion():
    # The unexpected keyword is reported although 'a' would fail conversion too.
    with pytest.raises(TypeError, match="unexpected keyword"):
        kn.cosine_similarity("ab", [1], zzz=1)


STR_FOR_LIST = "a 'str' object cannot be converted to a list of items"

CONVERSION_ERRORS = [
    (lambda: kn.cosine_similarity("ab", [1.0]), TypeError, f"argument 'a': {STR_FOR_LIST}"),
    (lambda: kn.cosine_similarity([1.0], {1.0}), TypeError,
     "argument 'b': 'set' object cannot be converted to 'Sequence'"),
    (lambda: kn.cosine_similarity({"x": 1}, [1.0]), TypeError,
     "argument 'a': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: kn.cosine_similarity((x for x in [1.0]), [1.0]), TypeError,
     "argument 'a': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: kn.cosine_similarity([1.0, "x"], [1.0]), TypeError,
     "argument 'a': must be real number, not str"),
    (lambda: kn.compute_doc_hash(b"abc"), TypeError,
     "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: kn.compute_sha256(None), TypeError,
     "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: kn.build_bm25_index(({"text": "a"},)), TypeError,
     "argument 'corpus': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: kn.preprocess_documents({"text": "a"}, 1), TypeError,
     "argument 'documents': 'dict' object cannot be converted to 'PyList'"),
    (lambda: kn.search_bm25([], "q", 1), TypeError,
     "argument 'index': 'list' object cannot be converted to 'Bm25Index'"),
    (lambda: kn.search_bm25(kn.build_bm25_index([]), None, 1), TypeError,
     "argument 'query': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: kn.search_bm25(kn.build_bm25_index([]), "q", 2.0), TypeError,
     "argument 'top_k': 'float' object cannot be interpreted as an integer"),
    (lambda: kn.search_bm25(kn.build_bm25_index([]), "q", "3"), TypeError,
     "argument 'top_k': 'str' object cannot be interpreted as an integer"),
    (lambda: kn.search_bm25(kn.build_bm25_index([]), "q", -1), OverflowError, None),
    (lambda: kn.search_bm25(kn.build_bm25_index([]), "q", 2**64), OverflowError, None),
    (lambda: kn.preprocess_documents([], -5), OverflowError, None),
    (lambda: kn.compute_doc_hash("a\ud800"), UnicodeEncodeError, None),
    (lambda: kn.cosine_similarity([2**1100], [1.0]), OverflowError, None),
]


@pytest.mark.parametrize("call,exc,message", CONVERSION_ERRORS)
def test_conversion_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    else:
        # Errors other than TypeError come through unchanged, without the prefix.
        assert not str(info.value).startswith("argument ")


def test_wrapped_error_carries_the_conversion_errors_cause():
    class Cause(Exception):
        pass

    class Bad:
        def __float__(self):
            try:
                raise Cause("inner")
            except Cause as c:
                raise TypeError("bad float") from c

    with pytest.raises(TypeError) as info:
        kn.cosine_similarity([Bad()], [1.0])
    assert str(info.value) == "argument 'a': bad float"
    assert isinstance(info.value.__cause__, Cause)

    with pytest.raises(TypeError) as info:
        kn.cosine_similarity("ab", [1.0])
    assert info.value.__cause__ is None


def test_non_typeerror_subclass_is_not_wrapped():
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise MyTypeError("mine")

    with pytest.raises(MyTypeError, match="^mine$"):
        kn.search_bm25(kn.build_bm25_index([]), "q", Bad())


def test_numeric_protocols_are_accepted():
    class Idx:
        def __index__(self):
            return 1

    class Flt:
        def __float__(self):
            return 1.0

    index = kn.build_bm25_index([{"text": "a"}, {"text": "a b"}])
    assert len(kn.search_bm25(index, "a", Idx())) == 1
    assert len(kn.search_bm25(index, "a", True)) == 1
    assert kn.cosine_similarity([Flt(), Idx(), True], (1.0, 1.0, 1)) == pytest.approx(1.0)
    assert kn.cosine_similarity(range(1, 3), [1, 2]) == 0.9999999999999998


def test_sequence_with_failing_len_is_still_iterated():
    class Seq:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 2:
                return 1.0
            raise IndexError

    assert kn.cosine_similarity(Seq(), [1.0, 1.0]) == pytest.approx(1.0)


def test_sequence_with_huge_len_does_not_preallocate():
    class Seq:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i < 3:
                return 1.0
            raise IndexError

    assert kn.cosine_similarity(Seq(), [1.0, 1.0, 1.0]) == pytest.approx(1.0)


def test_str_subclass_is_text():
    class S(str):
        pass

    assert kn.compute_doc_hash(S("abc")) == kn.compute_doc_hash("abc")
