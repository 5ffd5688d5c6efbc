"""Rule-based state machines: each container against a tiny model, with the
container's invariants checked after every step. TAVRIN_FUZZ=N multiplies the
number of runs (CI keeps the default, a few seconds)."""
import copy
import os

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from tavrin.datastructures.memberbag import NestedMemberBag

SCALE = int(os.environ.get("TAVRIN_FUZZ", "1"))
SETTINGS = settings(max_examples=40 * SCALE, stateful_step_count=30, deadline=None)

SEG = st.sampled_from(["a", "b", "c"])
PATH = st.lists(SEG, min_size=1, max_size=3).map(".".join)
LEAF = st.integers(0, 9)
DOC = st.recursive(LEAF, lambda kids: st.dictionaries(SEG, kids, max_size=3), max_leaves=6)


def plain(obj):
    if isinstance(obj, dict):
        assert type(obj) is NestedMemberBag and obj.__dict__ is obj
        return {k: plain(v) for k, v in dict.items(obj)}
    return obj


def walk(model, path):
    """(container, last key) for a path in the model, or the exception type."""
    *heads, last = path.split(".")
    cur = model
    for h in heads:
        if not isinstance(cur, dict):
            return TypeError
        if h not in cur:
            return KeyError
        cur = cur[h]
    if not isinstance(cur, dict):
        return TypeError
    return cur, last


def merge(model, doc):
    for k, v in doc.items():
        if isinstance(v, dict):
            model.setdefault(k, {})
            if not isinstance(model[k], dict):
                return AttributeError
            err = merge(model[k], v)
            if err:
                return err
        else:
            model[k] = v
    return None


def outcome(fn):
    try:
        return fn()
    except (KeyError, TypeError, AttributeError) as exc:
        return type(exc)


class NestedBagMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.bag = NestedMemberBag()
        self.model = {}

    @rule(path=PATH, value=LEAF)
    def write(self, path, value):
        where = walk(self.model, path) if "." in path else (self.model, path)
        got = outcome(lambda: self.bag.__setitem__(path, value))
        cur = self.model
        heads = path.split(".")[:-1]
        expected = None
        for h in heads:
            if h not in cur:
                cur[h] = {}
            elif not isinstance(cur[h], dict):
                expected = KeyError
                break
            cur = cur[h]
        else:
            cur[path.split(".")[-1]] = value
        assert got == expected, (path, where)

    @rule(path=PATH)
    def read(self, path):
        where = walk(self.model, path)
        if isinstance(where, tuple):
            cur, last = where
            expected = copy.deepcopy(cur[last]) if last in cur else KeyError
        else:
            expected = where
        got = outcome(lambda: plain(self.bag[path]))
        assert got == expected

    @rule(path=PATH, default=LEAF)
    def get(self, path, default):
        where = walk(self.model, path)
        if where is TypeError:
            expected = TypeError
        elif where is KeyError:
            expected = default
        else:
            cur, last = where
            expected = copy.deepcopy(cur[last]) if last in cur else default
        got = outcome(lambda: plain(self.bag.get(path, default)))
        assert got == expected

    @rule(path=PATH)
    def contains(self, path):
        where = walk(self.model, path)
        if where is KeyError:
            expected = False
        elif where is TypeError:
            expected = TypeError
        else:
            cur, last = where
            expected = last in cur
        assert outcome(lambda: path in self.bag) == expected

    @rule(path=PATH)
    def delete(self, path):
        where = walk(self.model, path)
        if isinstance(where, tuple):
            cur, last = where
            expected = KeyError if last not in cur else None
            cur.pop(last, None)
        else:
            expected = where
        assert outcome(lambda: self.bag.__delitem__(path)) == expected

    @rule(doc=st.dictionaries(SEG, DOC, max_size=3))
    def update(self, doc):
        expected = merge(self.model, doc)
        assert outcome(lambda: self.bag.update(copy.deepcopy(doc))) == expected

    @precondition(lambda self: self.model)
    @rule()
    def rebuild(self):
        self.bag = NestedMemberBag(self.bag)

    @invariant()
    def same_as_model(self):
        assert plain(self.bag) == self.model


TestNestedBag = NestedBagMachine.TestCase
TestNestedBag.settings = SETTINGS
