"""tavrin.datastructures.logic: And/Or/Not test objects and logic_str."""
import copy
import os
import pickle
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from conftest import run

from tavrin.datastructures import logic
from tavrin.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from tavrin.utils.strings import decode_cli_string

FAST = settings(max_examples=150, deadline=None)


def python_wording(fn, *args, **kwargs):
    """The TypeError text the interpreter gives for this call of a Python function."""
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


class Recorder:
    """A callable expression that records the items it sees."""

    def __init__(self, answer=False):
        self.seen = []
        self.answer = answer

    def __call__(self, item):
        self.seen.append(item)
        return self.answer


# ------------------------------------------------------------------ module

def test_module_body_names_in_order():
    # In a fresh interpreter: other tests replace module attributes and put
    # them back, which moves them to the end of the namespace.
    code = ("from tavrin.datastructures import logic\n"
            "print([n for n in vars(logic) if not (n.startswith('__') and n.endswith('__')) or n == '__all__'])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == str(["re", "logging", "decode_cli_string", "__all__", "logger",
                               "BaseLogic", "And", "Or", "Not", "logic_str"])
    assert logic.re is re
    assert logic.__all__ == ["And", "Or", "Not"]
    assert logic.decode_cli_string is decode_cli_string
    assert logic.logger.name == "tavrin.datastructures.logic"


@pytest.mark.parametrize("cls, bases, own", [
    (BaseLogic, (object,), ["__init__", "__call__", "__str__", "__repr__", "__eq__"]),
    (And, (BaseLogic,), ["__call__"]),
    (Or, (BaseLogic,), ["__call__"]),
    (Not, (BaseLogic,), ["__call__"]),
])
def test_classes(cls, bases, own):
    assert type(cls) is type
    assert cls.__bases__ == bases
    assert cls.__module__ == "tavrin.datastructures.logic"
    assert cls.__doc__
    # __slotnames__ is copyreg's cache, added by the first pickle of an instance.
    members = [n for n in vars(cls) if n not in ("__module__", "__qualname__", "__doc__", "__dict__",
                                                  "__weakref__", "__hash__", "__slotnames__")]
    assert members == own


def test_nothing_is_logged(caplog):
    with caplog.at_level("DEBUG", logger="tavrin.datastructures.logic"):
        And("a", Not("b"))("a")
        logic_str("Or('x')")
        with pytest.raises(ValueError):
            logic_str("Or(")
    assert caplog.records == []


@pytest.mark.parametrize("setup", [
    "sys.modules['tavrin.utils.strings'] = None",
    "import types; sys.modules['tavrin.utils.strings'] = types.ModuleType('tavrin.utils.strings')",
])
def test_import_fails_without_decode_cli_string(setup):
    code = f"import sys\n{setup}\ntry:\n    import tavrin.datastructures.logic\n" \
           "except ImportError as e:\n    print('ImportError')\n"
    r = run(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ImportError"


# ------------------------------------------------------------ construction

def test_strings_are_compiled_and_callables_kept():
    class S(str):
        pass

    nested = Or("x")
    e = And("a.b", S("c+"), len, nested)
    assert e.expressions[:2] == [re.compile("a.b"), re.compile("c+")]
    assert e.expressions[2] is len and e.expressions[3] is nested
    assert type(e.expressions) is list
    assert And().expressions == []


@pytest.mark.parametrize("bad, shown", [
    (5, "5 (<class 'int'>)"),
    (b"a", "b'a' (<class 'bytes'>)"),
    (None, "None (<class 'NoneType'>)"),
    (("a",), "('a',) (<class 'tuple'>)"),
])
def test_non_str_non_callable_rejected(bad, shown):
    with pytest.raises(TypeError) as info:
        Or("ok", bad)
    assert str(info.value) == "Expression only accepts str and callable. Got: " + shown


def test_invalid_pattern_raises_re_error():
    with pytest.raises(re.error):
        And("a", "(")


# The same signatures written in plain Python, for the interpreter's own wording.
PLAIN = {}
exec("class BaseLogic:\n"
     "    def __init__(self, *expressions): pass\n"
     "    def __call__(self): pass\n"
     "class And(BaseLogic):\n"
     "    def __call__(self, *items): pass\n"
     "def logic_str(string): pass\n", PLAIN)


@pytest.mark.parametrize("ours, plain, args, kwargs", [
    (lambda: And, lambda: PLAIN["And"], (), {"x": "a"}),
    (lambda: And("a"), lambda: PLAIN["And"](), ("a",), {"item": "a"}),
    (lambda: BaseLogic("a"), lambda: PLAIN["BaseLogic"](), ("x",), {}),
    (lambda: logic_str, lambda: PLAIN["logic_str"], (), {}),
    (lambda: logic_str, lambda: PLAIN["logic_str"], ("a", "b"), {}),
    (lambda: logic_str, lambda: PLAIN["logic_str"], ("a",), {"text": "b"}),
])
def test_argument_errors_use_interpreter_wording(ours, plain, args, kwargs):
    assert python_wording(ours(), *args, **kwargs) == python_wording(plain(), *args, **kwargs)


def test_base_logic_call_not_implemented():
    with pytest.raises(NotImplementedError) as info:
        BaseLogic("a")()
    assert info.value.args == ()


# --------------------------------------------------------------- calling

CASES = [
    (lambda: And("a", "b"), ("ab",), True),
    (lambda: And("a", "b"), ("a",), False),
    (lambda: And("a", "b"), ("a", "b"), True),
    (lambda: Or("a", "b"), ("xyz",), False),
    (lambda: Or("a", "b"), ("xbz",), True),
    (lambda: Not("a", "b"), ("xyz",), True),
    (lambda: Not("a", "b"), ("xyz", "b"), False),
    (lambda: And("1"), (1,), True),
    (lambda: Or("None"), (None,), True),
    (lambda: And(), (), True),
    (lambda: Not(), (), True),
    (lambda: Or(), (), False),
    (lambda: And("a"), (), False),
    (lambda: Not("a"), (), True),
    (lambda: And(Or("x", "y"), "z"), ("x", "z"), True),
    (lambda: And("a", Not("b")), ("a", "b"), False),
    (lambda: Or(Not("a")), (), True),
    (lambda: And("^eth\\d$"), ("eth0",), True),
    (lambda: And("^eth\\d$"), ("veth0",), False),
    (lambda: And("ETH"), ("eth0",), False),
    (lambda: Or(str.isdigit), ("x", "42"), True),
    (lambda: Or(lambda i: i == 3), (3,), True),
    (lambda: And(lambda i: [i]), (0,), True),
    (lambda: And(lambda i: ""), ("x",), False),
    (lambda: And(""), ("",), True),
    (lambda: And("a-b, c:d"), ("xa-b, c:dx",), True),
    (lambda: Or("é"), ("café",), True),
]


@pytest.mark.parametrize("make, items, expected", CASES)
def test_results(make, items, expected):
    result = make()(*items)
    assert result is expected


@pytest.mark.parametrize("make, items, expected", CASES)
def test_subclasses_behave_like_their_base(make, items, expected):
    obj = make()
    obj.__class__ = type("Sub", (type(obj),), {})
    assert obj(*items) is expected


def test_callables_get_every_item_in_order_before_any_result_is_judged():
    log = []

    class Result:
        def __init__(self, name, truth):
            self.name, self.truth = name, truth

        def __bool__(self):
            log.append(("bool", self.name))
            return self.truth

    results = {"a": Result("a", False), "b": Result("b", True), "c": Result("c", True)}

    def f(item):
        log.append(("call", item))
        return results[item]

    assert Or(f)("a", "b", "c") is True
    assert log == [("call", "a"), ("call", "b"), ("call", "c"), ("bool", "a"), ("bool", "b")]


def test_shortcircuit_across_expressions():
    f = Recorder(True)
    assert Or("a", f)("xa", "y") is True
    assert f.seen == []
    assert Or("q", f)("xa", "y") is True
    assert f.seen == ["xa", "y"]
    g = Recorder(False)
    assert And(g, f)("1") is False
    assert g.seen == ["1"] and f.seen == ["xa", "y"]
    h = Recorder(True)
    assert Not(h, g)("1", "2") is False
    assert h.seen == ["1", "2"] and g.seen == ["1"]


def test_nested_object_receives_all_items_at_once():
    calls = []

    class Spy(Or):
        def __call__(self, *items):
            calls.append(items)
            return super().__call__(*items)

    assert And(Spy("z"), "x")(1, "x", "zz") is True
    assert calls == [(1, "x", "zz")]


def test_nested_result_is_judged_by_truth():
    class Weird(Or):
        def __call__(self, *items):
            return items  # truthy when there are items

    assert And(Weird())("q") is True
    assert And(Weird())() is False


def test_text_form_of_items():
    log = []

    class Item:
        def __init__(self, text):
            self.text = text

        def __str__(self):
            log.append(self.text)
            return self.text

    class Text(str):
        def __str__(self):
            log.append("sub")
            return "replaced"

    # str() runs for every non-str item, even after a match; exact str items are used as they are
    assert Or("m")(Item("m"), "m", Item("x"), Item("y")) is True
    assert log == ["m", "x", "y"]
    log.clear()
    assert Or("replaced")(Text("original")) is True
    assert log == ["sub"]


def test_exceptions_propagate_and_leave_the_object_alone():
    class Boom(Exception):
        pass

    def bad(item):
        raise Boom

    class BadStr:
        def __str__(self):
            raise Boom

    for obj, items in [(Or("a", bad), ("x",)), (Or("a"), ("a", BadStr())), (And(Or(bad)), ("x",))]:
        before = list(obj.expressions)
        with pytest.raises(Boom):
            obj(*items)
        assert obj.expressions == before


# ------------------------------------------------- replaced expressions

def test_replaced_patterns_are_honoured():
    obj = And("eth")
    obj.expressions[0] = re.compile("ETH", re.IGNORECASE)
    assert obj("eth0") is True
    obj.expressions[0] = re.compile("e.h")
    assert obj("exh") is True
    obj.expressions[0] = re.compile(b"eth")
    with pytest.raises(TypeError):
        obj("eth0")


def test_any_object_with_search_serves_as_a_pattern():
    class Searcher:
        def __init__(self):
            self.seen = []

        def search(self, text):
            self.seen.append(text)
            return False if text == "hit" else None  # any non-None result counts as a match

    s = Searcher()
    obj = Or("zzz")
    obj.expressions[0] = s
    assert obj("a", "hit", 3) is True
    assert s.seen == ["a", "hit", "3"]
    assert obj() is False and s.seen == ["a", "hit", "3"]


@pytest.mark.parametrize("container", [tuple, iter])
def test_expressions_may_be_any_iterable(container):
    obj = And("a")
    obj.expressions = container([re.compile("a"), Not("b")])
    assert obj("a") is True


def test_expressions_changed_during_a_call():
    obj = Or()

    def grow(item):
        obj.expressions.append(re.compile("late"))
        return False

    obj.expressions.append(grow)
    assert obj("late") is True  # a list being walked sees what is appended to it
    obj = Or()

    def shrink(item):
        obj.expressions.clear()
        return False

    obj.expressions[:] = [shrink, re.compile("x")]
    assert obj("x") is False

    class Vandal:
        """Drops the expression being searched while its text is taken."""

        def __str__(self):
            vars(obj).pop("expressions", None)
            return "needle"

    obj = Or("zzz", "needle")
    assert obj(Vandal(), Vandal()) is True
    assert not hasattr(obj, "expressions")


def test_subclass_overriding_call_is_used_when_nested():
    class Always(Not):
        def __call__(self, *items):
            return True

    assert And(Always("x"))("x") is True
    Always.__call__ = Not.__call__  # changed after use: the change is seen
    assert And(Always("x"))("x") is False


def test_object_claiming_to_be_an_expression():
    class Fake:
        __class__ = Or

        def __call__(self, *items):
            return len(items) == 2

    assert And(Fake())(1, 2) is True
    assert And(Fake())(1) is False


@FAST
@pytest.mark.filterwarnings("ignore:Possible nested set:FutureWarning")
@given(pattern=st.text(alphabet="ab.*\\^$()[]{}|+?-é \n", max_size=5),
       texts=st.lists(st.text(alphabet="ab.*()é \n", max_size=8), max_size=4))
def test_patterns_match_as_re_search(pattern, texts):
    try:
        compiled = re.compile(pattern)
    except re.error:
        return
    expected = any(compiled.search(t) is not None for t in texts)
    assert Or(pattern)(*texts) is expected
    assert Not(pattern)(*texts) is (not expected)
    assert And(pattern, pattern)(*texts) is (expected or False)


# One pattern per character that gives a pattern a meaning of its own: each
# matches its text as a regular expression, never as a substring. (A lone
# "}", "]" or ")" is either literal or refused by re.compile.)
@pytest.mark.parametrize("pattern, text", [
    ("\\d", "5"), ("a.c", "abc"), ("^a", "a"), ("a$", "a"), ("ab*c", "ac"), ("ab+c", "abbc"),
    ("ab?c", "ac"), ("ab{2}", "abb"), ("[ab]", "a"), ("cat|dog", "hotdog"), ("(a)", "a"),
])
def test_every_special_character_is_a_regular_expression(pattern, text):
    assert Or(pattern)(text) is True
    assert Not(pattern)(text) is False


@FAST
@given(words=st.lists(st.sampled_from(["a", "b", "ab", "c"]), max_size=4),
       texts=st.lists(st.sampled_from(["a", "b", "xy", "abc", ""]), max_size=4))
def test_combinators_against_any_all(words, texts):
    hits = [any(w in t for t in texts) for w in words]
    assert And(*words)(*texts) is all(hits)
    assert Or(*words)(*texts) is any(hits)
    assert Not(*words)(*texts) is (not any(hits))


# -------------------------------------------------------------- text form

@pytest.mark.parametrize("obj, text", [
    (And("a", "b"), "And('a', 'b')"),
    (Or(And("a"), Not("b")), "Or(And('a'), Not('b'))"),
    (Not(), "Not()"),
    (And(len), "And(%r)" % len),
    (And("it's"), "And('it's')"),
    (Or("\\d+"), "Or('\\d+')"),
])
def test_text_form(obj, text):
    assert str(obj) == text
    assert repr(obj) == text


def test_text_form_follows_the_subclass():
    class Mine(And):
        pass

    assert str(Mine("a")) == "Mine('a')"

    class Shouting(And):
        def __str__(self):
            return "AND!"

    assert repr(Shouting("a")) == "AND!"


# --------------------------------------------------------------- equality

class SubAnd(And):
    pass


@pytest.mark.parametrize("a, b, equal", [
    (And("a"), And("a"), True),
    (And("a", Not("b")), And("a", Not("b")), True),
    (And("a"), And("b"), False),
    (And("a"), Or("a"), False),
    (And("a"), "a", False),
    (And("a"), SubAnd("a"), False),
    (SubAnd("a"), And("a"), False),
    (And(len), And(len), True),
])
def test_equality(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is (not equal)


def test_equality_returns_what_the_lists_give():
    class Odd:
        def __call__(self, item):
            return True

        def __eq__(self, other):
            raise LookupError

    with pytest.raises(LookupError):
        And(Odd()) == And(Odd())


@pytest.mark.parametrize("obj", [BaseLogic(), And("a"), Or(), Not(), SubAnd()])
def test_unhashable(obj):
    with pytest.raises(TypeError):
        hash(obj)


def test_self_containing_expression_ends_in_recursion_error():
    obj, twin = And("a"), And("a")
    obj.expressions.append(obj)
    twin.expressions.append(twin)
    for op in (lambda: obj("a"), lambda: str(obj), lambda: obj == twin):
        with pytest.raises(RecursionError):
            op()


def test_copy_and_pickle():
    obj = And("eth", Not("down"), Or("up", str.isdigit))
    for other in (copy.deepcopy(obj), pickle.loads(pickle.dumps(obj))):
        assert other == obj and other is not obj
        assert other("eth0", "up") is True


# -------------------------------------------------------------- logic_str

@pytest.mark.parametrize("text, items, expected", [
    ("And('a', 'b')", ("ab",), True),
    ("And('a', 'b')", ("a",), False),
    ("Or('a', lambda i: i == 3)", (3,), True),
    ("  Not('down')", ("up",), True),
    ("And('eth', Not('down'), Or('up', str.isdigit))", ("eth0", "7"), True),
])
def test_logic_str_builds_expressions(text, items, expected):
    assert logic_str(text)(*items) is expected


@FAST
@given(st.recursive(
    st.builds(lambda c, ws: c(*ws), st.sampled_from([And, Or, Not]),
              st.lists(st.text(alphabet="abc -é.", max_size=4), max_size=3)),
    lambda inner: st.builds(lambda c, es: c(*es), st.sampled_from([And, Or, Not]), st.lists(inner, max_size=3)),
    max_leaves=8))
def test_logic_str_reads_back_the_text_form(obj):
    assert logic_str(str(obj)) == obj


@pytest.mark.parametrize("text, context", [
    ("And('a'", SyntaxError),
    ("Foo('a')", NameError),
    ("And(5)", TypeError),
    ("And('(')", re.error),
    ("And", AssertionError),
    ("string", AssertionError),
    ("", SyntaxError),
    ("1 / 0", ZeroDivisionError),
    ("re", AssertionError),
])
def test_logic_str_rejects(text, context):
    with pytest.raises(ValueError) as info:
        logic_str(text)
    assert str(info.value) == "Not a properly formatted logic string: " + text
    assert isinstance(info.value.__context__, context)
    assert info.value.__cause__ is None


def test_logic_str_sees_the_module_namespace():
    assert logic_str("Or(string[:2])")("Or") is True  # 'string' is the decoded text
    assert isinstance(logic_str("BaseLogic()"), BaseLogic)
    assert logic_str("Or(logger.name)")("tavrin.datastructures.logic") is True


@pytest.mark.parametrize("exc", ["SystemExit(3)", "KeyboardInterrupt()", "GeneratorExit()"])
def test_logic_str_lets_base_exceptions_through(exc):
    with pytest.raises(BaseException) as info:
        logic_str(f"(_ for _ in ()).throw({exc})")
    assert type(info.value).__name__ == exc.split("(")[0]


def test_logic_str_uses_decode_cli_string_from_the_module(monkeypatch):
    seen = []

    def decode(value):
        seen.append(value)
        return value.replace("or", "Or")

    monkeypatch.setattr(logic, "decode_cli_string", decode)  # looked up at each call
    assert logic_str("or('x')") == Or("x")
    assert seen == ["or('x')"]
    with pytest.raises(ValueError) as info:
        logic_str("or(")
    assert str(info.value) == "Not a properly formatted logic string: Or("  # the decoded text


def test_logic_str_passes_decoder_errors_unchanged(monkeypatch):
    class Undecodable(Exception):
        pass

    def decode(value):
        raise Undecodable(value)

    monkeypatch.setattr(logic, "decode_cli_string", decode)
    with pytest.raises(Undecodable):
        logic_str("And('a')")


def test_logic_str_signature_and_doc():
    assert logic_str(string="Or('a')") == Or("a")
    assert logic_str.__module__ == "tavrin.datastructures.logic"
    assert "untrusted" in logic_str.__doc__


def test_logic_str_refuses_non_expressions_under_O():
    code = ("import sys\nfrom tavrin.datastructures.logic import logic_str\n"
            "print(sys.flags.optimize)\n"
            "try:\n    logic_str('1')\nexcept ValueError as e:\n"
            "    print(e, type(e.__context__).__name__)\n")
    r = run(code, "-O")
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[:2] == ["1", "Not a properly formatted logic string: 1 AssertionError"]


# ---------------------------------------------------- decode_cli_string

def test_decode_cli_string():
    text = "And('eth')"
    assert decode_cli_string(text) is text
    raw = os.fsencode("Or('caf\u00e9')") + b"\xff"
    assert decode_cli_string(raw) == os.fsdecode(raw)
    assert decode_cli_string(bytearray(b"Or('a')")) == "Or('a')"
    assert decode_cli_string(5) == 5
    assert logic_str(b"Or('a')") == Or("a")


# A pattern with none of the characters that have a meaning of their own is
# searched as plain text; one such character is enough to need the regular
# expression. Each case answers differently read as plain text.
@pytest.mark.parametrize("pattern, text, found", [
    (r"\d", "5", True),
    ("a.c", "abc", True),
    ("^b", "a^b", False),
    ("b$", "b$c", False),
    ("ab*c", "ac", True),
    ("ab+c", "abbc", True),
    ("ab?c", "ac", True),
    ("a{2}", "aa", True),
    ("[ab]", "b", True),
    ("cat|dog", "hotdog", True),
    ("(a)", "a", True),
    # A bracket without its partner is a plain character ('{', '}', ']') or
    # does not compile ('[', '(', ')'): either one of a pair is enough.
    ("a{", "a{", True),
    ("a}", "a}", True),
    ("a]", "a]", True),
])
def test_each_special_character_makes_a_pattern_a_regular_expression(pattern, text, found):
    assert bool(re.search(pattern, text)) is found
    assert (Or(pattern)(text), Not(pattern)(text), And(pattern)(text)) == (found, not found, found)


def test_a_subclass_whose_call_is_replaced_after_use_is_called_anew():
    class Sub(And):
        pass

    outer = Or(Sub("x"))
    assert outer("x") is True
    Sub.__call__ = lambda self, *items: False
    assert Sub("x")("x") is False and outer("x") is False
    del Sub.__call__
    assert Sub("x")("x") is True and outer("x") is True


def test_expressions_in_a_list_subclass_are_walked_by_its_iterator():
    class Shown(list):
        def __iter__(self):
            return iter([re.compile("b")])

    obj = Or("a")
    obj.expressions = Shown(obj.expressions)
    assert (obj("a"), obj("b")) == (False, True)
