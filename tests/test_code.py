"""Code retrieval: query tokens, symbol index, symbol channel, lexical boost."""

from __future__ import annotations

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvo_native as kn
from models import code as model

needs_regex = pytest.mark.skipif(model.extract_code_query_tokens is None,
                                 reason="the 'regex' package is not installed")


def tokens(query):
    out = kn.extract_code_query_tokens(query)
    assert isinstance(out, list)
    assert len(out) == len(set(out))
    return set(out)


def internal_fault_raised(excinfo):
    return type(excinfo.value).__name__ == "InternalFault" and not isinstance(
        excinfo.value, Exception)


# ---- query tokens ---------------------------------------------------------------

@pytest.mark.parametrize("query, expected", [
    ("", set()),
    ("a b c", set()),
    ("parse_config", {"parse_config", "parse", "config"}),
    ("getUserName", {"getusername", "get", "user", "name"}),
    ("XMLParser", {"xmlparser", "parser"}),
    ("parseJSON2Doc", {"parsejson2doc", "parse", "doc"}),
    ("utils.py", {"utils", "py", "utils.py"}),
    ("os.path", {"os", "path", "os.path"}),
    ("config.yaml.bak", {"config", "yaml", "config.yaml"}),
    ("Foo.PY", {"foo", "py", "foo.py"}),
    ("a1.b2.c3", {"a1", "b2", "a1.b2"}),
    ("__init__", {"__init__", "init"}),
    ("x_123abc", {"x_123abc", "abc", "123abc"}),
    ("a.py", {"a"}),
    # "ts" fails at the trailing boundary, so the alternation goes on to "tsx".
    ("x.tsx", {"x"}),
    ("a/b/file.test.py", {"test", "file", "file.test"}),
    ("file.py:12", {"file", "py", "file.py"}),
    ("json.loads", {"json", "loads", "json.loads"}),
    ("HTTPConnection request", {"httpconnection", "connection", "request"}),
])
def test_query_tokens_examples(query, expected):
    assert tokens(query) == expected


@pytest.mark.parametrize("query, expected", [
    # A combining mark is a word character: it glues words together, and a
    # word may start with one.
    ("parse\u0301Config", set()),
    (" \u0301abc.py", {"\u0301abc"}),
    ("getUser\u0301 load", {"load"}),
    # Joiners are word characters; a soft hyphen (format character) is not.
    ("abcd\u200defgh", set()),
    ("abcd\u00adefgh", {"abcd", "efgh"}),
    ("load\u00ad.py", {"load"}),
    # Non-ASCII letters join stems and qualified members but not identifiers.
    ("naïveFunc.py", {"naïvefunc", "py", "naïvefunc.py"}),
    ("Ωmega.py", {"ωmega"}),
    ("ΣΟΦΙΑ.md", {"σοφια"}),
    ("mod.Σίσυφος", set()),
    ("İNIT.py", {"i\u0307nit"}),
    ("数据.json", {"数据", "json"}),
    ("\U0001d400bcd.py", {"\U0001d400bcd"}),
    ("😀 getUserName 😀 utils.py", {"getusername", "get", "user", "name", "utils", "py",
                                   "utils.py"}),
    ("x\U0001d400_.cfg", {"x\U0001d400_", "cfg", "x\U0001d400_.cfg"}),
    ("٣abc.py", {"٣abc"}),
])
def test_query_tokens_unicode_words(query, expected):
    assert tokens(query) == expected


def test_query_tokens_final_sigma_and_expansion():
    # Full lower-casing: final sigma and one character becoming two.
    assert tokens("ΟΔΟΣ.md") == {"οδος"}
    assert tokens("Straße.rs") == {"straße", "rs", "straße.rs"}


@needs_regex
@pytest.mark.parametrize("query", [
    "mod.Σίσυφος", "ΣΟΦΙΑ.md", "ab\u0301cd.py x.y", "__a__.b_c.d", "_x.y_", "Ab.Cd.Ef.py",
])
def test_query_tokens_match_unicode_model(query):
    assert tokens(query) == model.extract_code_query_tokens(query)


ALPHABET = ("abcxyzABCXYZ0129_._. /:-() "
            "\u0301\u0308\u200c\u200d\u00ad\u200b"  # marks, joiners, format characters
            "éßİΣσςΩжд数٣\u2160²\u00b7\u212a"  # letters, digits, numerals, Kelvin sign
            "\U0001d400\U0001f600")


@needs_regex
@settings(max_examples=400, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=40)
       | st.lists(st.sampled_from(["py", "ts", "tsx", "json", "parse", "Config", "XML", "os",
                                   "path", ".", "_", " ", "\u0301", "é", "2", "getUser"]),
                  max_size=12).map("".join))
def test_query_tokens_unicode_model_random(query):
    assert tokens(query) == model.extract_code_query_tokens(query)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="abcdefXYZ_019. /-:", max_size=50))
def test_query_tokens_ascii_match_host_routine(query):
    # On ASCII text Python's re has the same word class.
    assert tokens(query) == model.extract_code_query_tokens_re(query)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="abcXYZ_09.:/ ", max_size=40)
       | st.lists(st.sampled_from(["py", "tsx", "c", "cs", "json", "md", "parse", "Config",
                                   "XML", "os", "path", "a1", ".", "_", " ", "2"]),
                  max_size=12).map("".join))
def test_query_tokens_ascii_and_unicode_paths_agree(query):
    # ASCII queries take a direct scan; one non-ASCII character (that yields
    # no token of its own) sends the same text through the regex engine.
    assert tokens(query) == tokens(query + " é") == tokens("ж " + query)


def test_query_tokens_argument_errors():
    with pytest.raises(TypeError, match="^argument 'query': 'int' object cannot be converted "
                                        "to 'PyString'$"):
        kn.extract_code_query_tokens(5)
    with pytest.raises(UnicodeEncodeError):
        kn.extract_code_query_tokens("abc\ud800")


def test_query_tokens_threads():
    queries = ["parseJSON2Doc utils.py", "naïveFunc.py os.path", "HTTPConnection request"]
    expected = [tokens(q) for q in queries]
    failures = []

    def work():
        for _ in range(300):
            for q, e in zip(queries, expected):
                if set(kn.extract_code_query_tokens(q)) != e:
                    failures.append(q)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_registration_order_and_docs():
    names = kn.__all__
    order = ["search_bm25", "symbol_channel_search", "build_symbol_index",
             "search_symbol_index", "compute_doc_hash", "extract_code_query_tokens",
             "code_lexical_scores"]
    present = [n for n in names if n in order]
    assert present == order
    assert kn.symbol_channel_search.__text_signature__ == \
        "(corpora, query_tokens, top_k, filters=None)"
    for f in (kn.symbol_channel_search, kn.build_symbol_index, kn.search_symbol_index):
        assert f.__doc__ is None
    assert kn.extract_code_query_tokens.__doc__.splitlines()[:3] == [
        "Extract identifier-like tokens from a code query.", "",
        "Mirrors `code_retrieval._extract_code_query_tokens`:"]
    assert "`foo.bar` → {\"foo\", \"bar\", \"foo.bar\"}" in kn.extract_code_query_tokens.__doc__
    assert kn.code_lexical_scores.__doc__.endswith(
        "`max_lex` is 0.0 when no result matched any token.")


# ---- symbol index -------------------------------------------------------------

def chunk(sym=None, qual=None, **extra):
    meta = dict(extra)
    if sym is not None:
        meta["symbol_name"] = sym
    if qual is not None:
        meta["qualified_name"] = qual
    return {"id": "x", "text": "", "metadata": meta}


def search(corpora, toks, top_k=10):
    return kn.search_symbol_index(kn.build_symbol_index(corpora), toks, top_k)


@pytest.mark.parametrize("corpora, toks, top_k, expected", [
    ([[chunk("Parse")]], ["parse"], 10, [(0, 1.0, "symbol_name")]),
    ([[chunk("Parse")]], ["arse"], 10, [(0, 0.6, "symbol_name")]),
    ([[chunk("run", "app.run")]], ["app.run", "run"], 10, [(0, 1.0, "qualified_name")]),
    ([[chunk("run", "app.run")]], ["run", "app.run"], 10, [(0, 1.0, "symbol_name")]),
    ([[chunk("main", "main")]], ["main"], 10, [(0, 1.0, "symbol_name")]),
    ([[chunk("io", "io")]], ["io"], 10, []),
    ([[chunk("Parse")]], [], 10, []),
    ([[chunk("Parse")]], ["pa", 5, None], 10, []),
    ([[chunk("Parse")]], ["parse"], 0, []),
    # Substring of the qualified name only.
    ([[chunk("load", "json.load")]], ["json"], 10, [(0, 0.6, "qualified_name")]),
    # The symbol name wins over the qualified name in the substring pass.
    ([[chunk("loads", "json.loads")]], ["oads"], 10, [(0, 0.6, "symbol_name")]),
    # Tokens are lowercased; their length is measured before.
    ([[chunk("ǅx")]], ["ǅX"], 10, [(0, 1.0, "symbol_name")]),
    # Chunks without metadata or names still take positions.
    ([[{"id": "a"}, chunk()], [chunk(5, None), chunk("Target")]], ["target"], 10,
     [(3, 1.0, "symbol_name")]),
    ([[chunk("a"), chunk("b")], [chunk("Target")]], ["target"], 10, [(2, 1.0, "symbol_name")]),
])
def test_symbol_index_examples(corpora, toks, top_k, expected):
    assert search(corpora, toks, top_k) == expected


def test_symbol_index_substring_pass_only_when_needed():
    corpora = [[chunk("parse"), chunk("parser"), chunk("parse")]]
    index = kn.build_symbol_index(corpora)
    # Two whole-name hits fill top_k=2: the substring pass does not run.
    assert sorted(kn.search_symbol_index(index, ["parse"], 2)) == [
        (0, 1.0, "symbol_name"), (2, 1.0, "symbol_name")]
    res = kn.search_symbol_index(index, ["parse"], 3)
    assert sorted(res[:2]) == [(0, 1.0, "symbol_name"), (2, 1.0, "symbol_name")]
    assert res[2] == (1, 0.6, "symbol_name")
    # A one-character top_k cut of a larger group keeps one of its members.
    one = kn.search_symbol_index(index, ["parse"], 1)
    assert len(one) == 1 and one[0] in [(0, 1.0, "symbol_name"), (2, 1.0, "symbol_name")]


def test_symbol_index_types_and_errors():
    index = kn.build_symbol_index([])
    assert type(index).__name__ == "SymbolIndex"
    assert kn.search_symbol_index(index, ["anything"], 5) == []
    with pytest.raises(TypeError, match="^'tuple' object cannot be converted to 'PyList'$"):
        kn.build_symbol_index([()])
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyDict'$"):
        kn.build_symbol_index([[chunk("a"), 3]])
    with pytest.raises(TypeError, match="^'str' object cannot be converted to 'PyDict'$"):
        kn.build_symbol_index([[{"metadata": "x"}]])
    with pytest.raises(TypeError, match="^argument 'corpora': "):
        kn.build_symbol_index(({},))
    with pytest.raises(TypeError, match="^argument 'query_tokens': "):
        kn.search_symbol_index(index, ("abc",), 5)
    with pytest.raises(TypeError, match="^argument 'index': 'list' object cannot be converted "
                                        "to 'SymbolIndex'$"):
        kn.search_symbol_index([], ["abc"], 5)
    with pytest.raises(OverflowError):
        kn.search_symbol_index(index, ["abc"], -1)


class CollidingKey:
    """Hashes like "symbol_name" and fails when compared."""

    def __hash__(self):
        return hash("symbol_name")

    def __eq__(self, other):
        raise ValueError("no comparing")


def test_symbol_lookup_errors_propagate():
    with pytest.raises(ValueError, match="no comparing"):
        kn.build_symbol_index([[{"metadata": {CollidingKey(): 1}}]])
    with pytest.raises(ValueError, match="no comparing"):
        kn.symbol_channel_search([[{"metadata": {CollidingKey(): 1}}]], ["abc"], 5)


def assert_same_per_score_group(ours, full, top_k):
    """ours: native result; full: the model's uncut hits, best first."""
    assert len(ours) == min(top_k, len(full))
    assert [h[1] for h in ours] == sorted((h[1] for h in ours), reverse=True)
    for score in (1.0, 0.6):
        mine = [h for h in ours if h[1] == score]
        theirs = {h for h in full if h[1] == score}
        assert len(mine) == len(set(mine))
        if len(mine) == len(theirs):
            assert set(mine) == theirs
        else:  # this group was cut at top_k: any of its members may survive
            assert set(mine) <= theirs and len(ours) == top_k
            assert not mine or ours[-1][1] == score


NAMES = st.one_of(st.none(), st.integers(0, 3),
                  st.text(alphabet="abAB._é", max_size=5),
                  st.sampled_from(["parse", "Parse", "parse_config", "app.run", "run"]))
CHUNKS = st.one_of(
    st.fixed_dictionaries({"metadata": st.fixed_dictionaries(
        {}, optional={"symbol_name": NAMES, "qualified_name": NAMES, "language": NAMES,
                      "start_line": st.integers(0, 3)})}),
    st.just({"id": "no metadata"}))
CORPORA = st.lists(st.lists(CHUNKS, max_size=8), max_size=4)
QUERY_TOKENS = st.lists(st.one_of(st.text(alphabet="abAB._é", max_size=6), st.none(),
                                  st.sampled_from(["parse", "run", "app.run", "config"])),
                        max_size=5)


@settings(max_examples=300, deadline=None)
@given(CORPORA, QUERY_TOKENS, st.integers(0, 12))
def test_symbol_index_matches_model(corpora, toks, top_k):
    ours = search(corpora, toks, top_k)
    full = model.search_symbol_index_full(model.build_symbol_index(corpora), toks, top_k)
    assert_same_per_score_group(ours, full, top_k)


# ---- symbol channel -------------------------------------------------------------

def channel(corpora, toks, top_k=10, filters=None):
    return kn.symbol_channel_search(corpora, toks, top_k, filters)


def only(res):
    assert len(res) == 1
    return res[0]["score"], res[0]["channel"]


@pytest.mark.parametrize("sym, qual, toks, expected", [
    ("Parse", None, ["parse"], (1.0, "symbol_name")),
    ("Parse", None, ["pars"], (0.6, "symbol_name")),
    ("run", "app.run", ["run"], (1.0, "symbol_name")),
    ("run", "app.run", ["app.run"], (1.0, "qualified_name")),
    ("run", "app.run", ["run", "app.run"], (1.0, "qualified_name")),
    ("run", "app.run", ["app.run", "run"], (1.0, "symbol_name")),
    ("main", "main", ["main"], (1.0, "qualified_name")),
    ("run", "app.run", ["app", "run"], (1.0, "symbol_name")),
    (None, "pkg.Loader", ["load"], (0.6, "qualified_name")),
])
def test_channel_scoring(sym, qual, toks, expected):
    assert only(channel([[chunk(sym, qual)]], toks)) == expected


def test_channel_result_shape_and_order():
    corpora = [[chunk("zparse")] * 3 + [chunk("parse")], [chunk("parser"), chunk("parse")]]
    res = channel(corpora, ["parse"])
    assert [list(r) for r in res] == [["index", "score", "channel"]] * 6
    assert [(r["index"], r["score"]) for r in res] == [
        (3, 1.0), (5, 1.0), (0, 0.6), (1, 0.6), (2, 0.6), (4, 0.6)]
    assert all(type(r["index"]) is int and type(r["score"]) is float for r in res)
    assert [r["index"] for r in channel(corpora, ["parse"], 3)] == [3, 5, 0]
    assert channel(corpora, ["parse"], 0) == []


def test_channel_equal_scores_keep_position_order():
    corpora = [[chunk("x")] * 3 + [chunk("parse_a")] + [chunk("x")] * 3 + [chunk("parse_b")]]
    assert [r["index"] for r in channel(corpora, ["pars"])] == [3, 7]


@pytest.mark.parametrize("filters, kept", [
    (None, [0, 1, 2, 3, 4]),
    ({}, [0, 1, 2, 3, 4]),
    ({"language": None}, [4]),
    ({"language": "None"}, [4]),
    ({"language": "python"}, [0]),
    ({"start_line": 10}, [1, 2]),
    ({"start_line": "10"}, [1, 2]),
    ({"language": "python", "start_line": 10}, []),
    ({7: "seven"}, [3]),
])
def test_channel_filters(filters, kept):
    corpora = [[chunk("parse", language="python"), chunk("parse", start_line=10),
                chunk("parse", start_line="10", language="rust"), {"id": "none"},
                chunk("parse", **{"language": None})]]
    corpora[0][3] = {"metadata": {"symbol_name": "parse", 7: "seven"}}
    assert [r["index"] for r in channel(corpora, ["parse"], 10, filters)] == kept


def test_channel_filters_are_tested_before_names():
    class Loud:
        calls = 0

        def __str__(self):
            Loud.calls += 1
            return "python"

    corpora = [[chunk("parse", language=Loud()), chunk("other", language="rust")]]
    assert [r["index"] for r in channel(corpora, ["parse"], 5, {"language": Loud()})] == [0]
    assert Loud.calls == 3  # str() of the metadata value, and of the filter value per chunk


def test_channel_empty_tokens_skip_malformed_corpora():
    assert channel([["not a corpus", 5]], []) == []
    assert channel([["not a chunk"]], ["ab", 3]) == []
    with pytest.raises(TypeError, match="^'str' object cannot be converted to 'PyDict'$"):
        channel([["not a chunk"]], ["abc"])
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyList'$"):
        channel([5], ["abc"])
    with pytest.raises(TypeError, match="^'list' object cannot be converted to 'PyDict'$"):
        channel([[{"metadata": []}]], ["abc"])


def test_channel_argument_errors():
    with pytest.raises(TypeError, match="^argument 'corpora': 'tuple' object cannot be "
                                        "converted to 'PyList'$"):
        kn.symbol_channel_search((), ["abc"], 5)
    with pytest.raises(TypeError, match="^argument 'query_tokens': 'frozenset' object"):
        kn.symbol_channel_search([], frozenset(["abc"]), 5)
    with pytest.raises(TypeError, match="^argument 'top_k': "):
        kn.symbol_channel_search([], ["abc"], 2.0)
    with pytest.raises(TypeError, match="^argument 'filters': 'list' object cannot be "
                                        "converted to 'PyDict'$"):
        kn.symbol_channel_search([], ["abc"], 5, [])
    # filters is checked even when nothing else would be done.
    with pytest.raises(TypeError, match="^argument 'filters': "):
        kn.symbol_channel_search([], [], 5, "x")


def test_channel_str_errors_propagate():
    class Bad:
        def __str__(self):
            raise KeyError("no text")

    with pytest.raises(KeyError):
        channel([[chunk("parse", language=Bad())]], ["parse"], 5, {"language": "x"})
    with pytest.raises(KeyError):
        channel([[chunk("parse", language="x")]], ["parse"], 5, {"language": Bad()})


def test_channel_filters_mutated_during_walk():
    filters = {}

    class Grow:
        def __str__(self):
            filters[len(filters)] = "more"
            return "python"

    filters["language"] = Grow()
    filters["other"] = "value"
    corpora = [[chunk("parse", language="python", other="value")] * 3]
    with pytest.raises(BaseException) as excinfo:
        channel(corpora, ["parse"], 5, filters)
    assert internal_fault_raised(excinfo)

    class Shrink:
        def __str__(self):
            filters.clear()
            return "python"

    filters = {"language": Shrink(), "other": "value"}
    with pytest.raises(BaseException) as excinfo:
        channel(corpora, ["parse"], 5, filters)
    assert internal_fault_raised(excinfo)


def test_channel_metadata_mutated_during_walk():
    # __str__ may empty the metadata dict being read; later reads see that.
    meta = {"symbol_name": "parse"}

    class Wipe:
        def __str__(self):
            meta.clear()
            return "python"

    meta["language"] = Wipe()
    assert channel([[{"metadata": meta}]], ["parse"], 5, {"language": "python"}) == []


FILTERS = st.one_of(st.none(), st.dictionaries(
    st.sampled_from(["language", "start_line", "symbol_name"]),
    st.one_of(st.integers(0, 3), st.sampled_from(["0", "1", "a", "run", "parse"])),
    max_size=2))


@settings(max_examples=300, deadline=None)
@given(CORPORA, QUERY_TOKENS, st.integers(0, 12), FILTERS)
def test_channel_matches_model(corpora, toks, top_k, filters):
    assert channel(corpora, toks, top_k, filters) == \
        model.symbol_channel_search(corpora, toks, top_k, filters)


# ---- lexical boost ----------------------------------------------------------------

def code_result(sym=None, text=None, source_class="code", **meta):
    m = {"source_class": source_class, **meta}
    if sym is not None:
        m["symbol_name"] = sym
    r = {"id": "r", "metadata": m}
    if text is not None:
        r["text"] = text
    return r


def lex(results, toks):
    scores, max_lex = kn.code_lexical_scores(results, toks)
    assert type(scores) is list and type(max_lex) is float
    return scores


@pytest.mark.parametrize("result, toks, expected", [
    (code_result("parse_config", text=""), ["parse_config"], 1.0),
    (code_result("parse_config", symbol_type="Function"), ["parse_config"], 1.0 * 1.1),
    (code_result("parse_config"), ["config"], 0.5),
    (code_result("cfg_loader"), ["cfg"], 0.0),
    (code_result("load", file_path="src/Utils.py"), ["utils", "utils.load"], 1.4),
    (code_result("load", source="lib/io.py"), ["io"], 0.4),
    (code_result("load", file_path=5, source="lib/io.py"), ["io"], 0.4),
    (code_result("load", file_path="", source="lib/io.py"), ["io"], 0.0),
    (code_result("parse", source_class="doc"), ["parse"], 0.0),
    (code_result("parse", source_class="Code"), ["parse"], 0.0),
    ({"metadata": {"symbol_name": "parse"}}, ["parse"], 0.0),
    ({"text": "parse"}, ["parse"], 0.0),
    (code_result("zz", text="alpha beta gamma delta epsilon"),
     ["alpha", "beta", "gamma", "delta", "epsilon"], 0.32),
    (code_result("zz", text="ALPHA beta"), ["alpha", "beta", "Beta"], 0.16),
    (code_result("zz", start_line=10, end_line=20), ["nothing"], 0.05),
    (code_result("zz", start_line=10, end_line=60), ["nothing"], 0.02),
    (code_result("zz", start_line=10, end_line=200), ["nothing"], 0.0),
    (code_result("zz", start_line=20.0, end_line=30), ["nothing"], 0.0),
    (code_result("zz", start_line=50, end_line=10), ["nothing"], 0.05),
    (code_result("zz", start_line=-2**63, end_line=2**63 - 1), ["nothing"], 0.0),
    (code_result("zz", start_line=2**63 - 1, end_line=-2**63), ["nothing"], 0.05),
    (code_result("zz", start_line=0, end_line=2**63), ["nothing"], 0.0),
    (code_result("run", symbol_type="method", start_line=1, end_line=11), ["run"],
     1.0 * 1.1 + 0.05),
    # The empty token makes the token set non-empty but matches nothing.
    (code_result("zz", start_line=1, end_line=2), [""], 0.05),
])
def test_lexical_examples(result, toks, expected):
    assert lex([result], toks) == [expected]


@pytest.mark.parametrize("path, stem", [
    ("src/Utils.py", "utils"), ("archive.tar.gz", "archive.tar"), ("name.", "name"),
    (".env", ".env"), ("a/b/", "b"), ("a/b/.", "b"), ("a/..", ""), (".", ""), ("", ""),
    ("dir\\File.py", "dir\\file"), ("x/ÄBC.rs", "äbc"), ("//", ""),
])
def test_lexical_file_stem(path, stem):
    assert model.file_stem(path) == stem
    # The stem counts only when it is a token; the stem plus the symbol name
    # is the guessed qualified name.
    result = code_result("fn", file_path=path)
    expected = (0.4 + 1.0) if stem else 0.0
    assert lex([result], [stem, f"{stem}.fn"] if stem else ["zzzz"]) == [expected]


def test_lexical_empty_tokens_and_results():
    assert kn.code_lexical_scores([1, "x", None], []) == ([0.0, 0.0, 0.0], 0.0)
    assert kn.code_lexical_scores([1, "x"], [5, None]) == ([0.0, 0.0], 0.0)
    assert kn.code_lexical_scores([], ["parse"]) == ([], 0.0)


def test_lexical_errors():
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyDict'$"):
        kn.code_lexical_scores([code_result("a"), 5], ["parse"])
    with pytest.raises(TypeError, match="^'str' object cannot be converted to 'PyDict'$"):
        kn.code_lexical_scores([{"metadata": "x"}], ["parse"])
    with pytest.raises(TypeError, match="^argument 'results': "):
        kn.code_lexical_scores((), ["parse"])
    with pytest.raises(TypeError, match="^argument 'query_tokens': "):
        kn.code_lexical_scores([], ("parse",))
    with pytest.raises(TypeError, match="^argument 'results': "):
        kn.code_lexical_scores(None, None)


def test_lexical_source_lookup_failure_is_no_path():
    class CollidesWithSource:
        def __hash__(self):
            return hash("source")

        def __eq__(self, other):
            raise ValueError("boom")

    result = code_result("load", start_line=1, end_line=2)
    result["metadata"][CollidesWithSource()] = 1
    assert lex([result], ["load"]) == [1.0 + 0.05]


LEX_STR = st.one_of(st.none(), st.integers(0, 2), st.text(alphabet="abIO._/é", max_size=8),
                    st.sampled_from(["parse", "parse_config", "io", "method", "Function",
                                     "lib/io.py", "src/Utils.py", "code"]))
LEX_RESULTS = st.lists(st.fixed_dictionaries(
    {"metadata": st.fixed_dictionaries({"source_class": st.sampled_from(["code", "code", "doc"])},
                                       optional={"symbol_name": LEX_STR, "symbol_type": LEX_STR,
                                                 "file_path": LEX_STR, "source": LEX_STR,
                                                 "start_line": st.integers(-5, 200),
                                                 "end_line": st.integers(-5, 200)})},
    optional={"text": LEX_STR}), max_size=6)
LEX_TOKENS = st.lists(st.one_of(LEX_STR, st.sampled_from(["io.parse", "utils.load", "parse"])),
                      max_size=6)


@settings(max_examples=400, deadline=None)
@given(LEX_RESULTS, LEX_TOKENS)
def test_lexical_matches_model(results, toks):
    assert kn.code_lexical_scores(results, toks) == model.code_lexical_scores(results, toks)


def test_tokens_without_utf8_form_match_nothing():
    # A lone surrogate has no UTF-8 form: the token matches no name, but it
    # is a token all the same.
    lone = "pa\ud800rse"
    assert search([[chunk("parse")]], [lone, "parse"]) == [(0, 1.0, "symbol_name")]
    assert channel([[chunk("parse")]], [lone]) == []
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyList'"):
        channel([5], [lone])
    assert lex([code_result("zz", start_line=1, end_line=2)], [lone]) == [0.05]
    assert lex([code_result("parse", start_line=1, end_line=2)], [lone, "parse"]) == [1.05]


# Names of any length around the 16-byte blocks and the 64-byte short-name
# buffer, ASCII or not (some lowercase to more bytes), with tokens cut from
# them so that matches fall at every offset, the very end included.
NAME_PIECES = st.sampled_from(["ab", "Ab", "ba", "B", "a", ".", "_", "é", "İ", "xyzw", "Q"])
LONG_NAMES = st.lists(NAME_PIECES, max_size=45).map("".join)


@st.composite
def names_and_tokens(draw):
    names = draw(st.lists(LONG_NAMES, min_size=1, max_size=8))

    def cut(name):
        i = draw(st.integers(0, len(name)))
        j = draw(st.integers(i, len(name)))
        piece = name[i:j]
        return draw(st.sampled_from([piece, piece.lower(), piece.upper()]))

    toks = draw(st.lists(st.one_of(LONG_NAMES, st.sampled_from(names).map(cut),
                                   st.sampled_from(names)), max_size=6))
    return names, toks


@settings(max_examples=300, deadline=None)
@given(names_and_tokens(), st.booleans())
def test_channel_names_of_any_length_match_model(case, pair_up):
    names, toks = case
    if pair_up:
        chunks = [chunk(a, b) for a, b in zip(names, names[1:] + names[:1])]
    else:
        chunks = [chunk(n) for n in names] + [chunk(None, n) for n in names]
    corpora = [chunks]
    assert channel(corpora, toks, 20) == model.symbol_channel_search(corpora, toks, 20)


@settings(max_examples=300, deadline=None)
@given(names_and_tokens())
def test_lexical_names_and_texts_of_any_length_match_model(case):
    names, toks = case
    results = [code_result(n, text=t, symbol_type="Method", file_path=f"src/{p}.py")
               for n, t, p in zip(names, names[1:] + names[:1], names[2:] + names[:2])]
    assert kn.code_lexical_scores(results, toks) == model.code_lexical_scores(results, toks)
