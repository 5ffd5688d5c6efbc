"""Rule-based state machines: each container against a tiny model, with the
container's invariants checked after every step. TAVRIN_FUZZ=N multiplies the
number of runs (CI keeps the default, a few seconds)."""
import copy
import gc
import os
import weakref

from conftest import expect, outcome
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from tavrin.datastructures.memberbag import NestedMemberBag
from tavrin.datastructures.pathtable import DictItem, IndexMarker, PathTable
from tavrin.datastructures.rankmap import RankMap
from tavrin.datastructures.wispseq import WispSeq

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
        assert got == expect(expected), (path, where)

    @rule(path=PATH)
    def read(self, path):
        where = walk(self.model, path)
        if isinstance(where, tuple):
            cur, last = where
            expected = copy.deepcopy(cur[last]) if last in cur else KeyError
        else:
            expected = where
        got = outcome(lambda: plain(self.bag[path]))
        assert got == expect(expected)

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
        assert got == expect(expected)

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
        assert outcome(lambda: path in self.bag) == expect(expected)

    @rule(path=PATH)
    def delete(self, path):
        where = walk(self.model, path)
        if isinstance(where, tuple):
            cur, last = where
            expected = KeyError if last not in cur else None
            cur.pop(last, None)
        else:
            expected = where
        assert outcome(lambda: self.bag.__delitem__(path)) == expect(expected)

    @rule(doc=st.dictionaries(SEG, DOC, max_size=3))
    def update(self, doc):
        expected = merge(self.model, doc)
        assert outcome(lambda: self.bag.update(copy.deepcopy(doc))) == expect(expected)

    @precondition(lambda self: self.model)
    @rule()
    def rebuild(self):
        self.bag = NestedMemberBag(self.bag)

    @invariant()
    def same_as_model(self):
        assert plain(self.bag) == self.model


TestNestedBag = NestedBagMachine.TestCase
TestNestedBag.settings = SETTINGS


# ---------------------------------------------------------------- RankMap

KEY = st.sampled_from(["a", "b", "c", "d", 1, 1.0, 2])  # 1 and 1.0 are one key
POS = st.integers(-5, 5)
PAIRS = st.lists(st.tuples(KEY, LEAF), max_size=4)


class RankMapMachine(RuleBasedStateMachine):
    """RankMap against its two documented parts: a list of keys in order and a
    dict of values. Every refused call leaves both exactly as they were."""

    def __init__(self):
        super().__init__()
        self.m = RankMap()
        self.order, self.data = [], {}

    def state(self):
        return [(k, type(k)) for k in self.m._order], [(k, type(k), v) for k, v in self.m._data.items()]

    def refused(self, exc, call):
        before = self.state()
        try:
            call()
        except exc as e:
            assert self.state() == before
            return e
        raise AssertionError(f"{call} did not raise {exc}")

    def _assign(self, key, value):
        if key not in self.data:
            self.order.append(key)
        self.data[key] = value

    @rule(key=KEY, value=LEAF)
    def setitem(self, key, value):
        self.m[key] = value
        self._assign(key, value)

    @rule(key=KEY, value=LEAF, position=POS)
    def insert(self, key, value, position):
        if key in self.data:
            e = self.refused(KeyError, lambda: self.m.insert(key, value, position))
            assert e.args == ("%s already exist in Report" % key,)
        else:
            self.m.insert(key, value, position)
            self.order.insert(position, key)
            self.data[key] = value

    @rule(key=KEY, position=POS)
    def move(self, key, position):
        if key not in self.data:
            assert self.refused(KeyError, lambda: self.m.move(key, position)).args == (key,)
        else:
            self.m.move(key, position)
            at = self.order.index(key)
            self.order.insert(position, self.order.pop(at))

    @rule(key=KEY)
    def delitem(self, key):
        if key not in self.data:
            self.refused(KeyError, lambda: self.m.__delitem__(key))
        else:
            del self.m[key]
            del self.data[key]
            self.order.remove(key)

    @rule(key=KEY, default=st.none() | LEAF)
    def pop(self, key, default):
        if key in self.data:
            assert self.m.pop(key, default) == self.data.pop(key)
            self.order.remove(key)
        else:
            assert self.m.pop(key, default) is default
            self.refused(KeyError, lambda: self.m.pop(key))

    @rule()
    def popitem(self):
        if not self.order:
            self.refused(KeyError, self.m.popitem)
        else:
            key = self.order.pop(0)
            assert self.m.popitem() == (key, self.data.pop(key))

    @rule(key=KEY, default=LEAF)
    def setdefault(self, key, default):
        expected = self.data.get(key, default)
        assert self.m.setdefault(key, default) == expected
        if key not in self.data:
            self.order.append(key)
            self.data[key] = default

    @rule(pairs=PAIRS, kwargs=st.dictionaries(st.sampled_from(["a", "e"]), LEAF, max_size=2),
          bad=st.sampled_from([None, ("x", 1, 2), "abc", 7]))
    def update(self, pairs, kwargs, bad):
        # A bad element stops the update there: the pairs before it stay
        # applied and the keywords are not.
        args = pairs + ([bad] if bad is not None else [])
        try:
            self.m.update(args, **kwargs)
        except (ValueError, TypeError):
            assert bad is not None
        else:
            assert bad is None
        for key, value in pairs:
            self._assign(key, value)
        if bad is None:
            for key, value in kwargs.items():
                self._assign(key, value)

    @rule(key=st.just([]) | st.just({}), value=LEAF, position=POS)
    def unhashable(self, key, value, position):
        self.refused(TypeError, lambda: self.m.__setitem__(key, value))
        self.refused(TypeError, lambda: self.m.insert(key, value, position))
        self.refused(TypeError, lambda: self.m.__delitem__(key))

    @rule(key=KEY, position=st.sampled_from(["0", 1.0, None]))
    def bad_position(self, key, position):
        if key in self.data:
            self.refused(TypeError, lambda: self.m.move(key, position))
        else:
            self.refused(TypeError, lambda: self.m.insert(key, 0, position))

    @rule()
    def too_many_arguments(self):
        e = self.refused(TypeError, lambda: self.m.update([], []))
        assert str(e) == "expected at most 1 arguments, got 2"

    @rule()
    def clear(self):
        keys = self.m.keys()
        self.m.clear()
        assert self.m.keys() is not keys
        self.order, self.data = [], {}

    @rule()
    def reverse_keys(self):
        self.m.keys().reverse()
        self.order.reverse()

    @rule()
    def copy(self):
        twin = self.m.copy()
        assert type(twin) is RankMap and twin == self.m and twin._order is not self.m._order
        if len(self.order) > 1:
            twin.move(self.order[0], len(self.order))
            assert twin != self.m and list(self.m) == self.order
        self.m = self.m.copy()

    @rule(keys=st.lists(KEY, max_size=5), value=LEAF)
    def fromkeys(self, keys, value):
        self.m = RankMap.fromkeys(keys, value)
        self.order, self.data = [], {}
        for key in keys:
            self._assign(key, value)

    @rule(key=KEY)
    def reads(self, key):
        assert (key in self.m) == (key in self.data)
        assert self.m.get(key, "none") == self.data.get(key, "none")
        if key in self.data:
            assert self.m[key] == self.data[key]
        else:
            self.refused(KeyError, lambda: self.m[key])

    @invariant()
    def same_as_model(self):
        m = self.m
        assert m._order == self.order and list(m) == self.order and len(m) == len(self.order)
        assert [type(k) for k in m._order] == [type(k) for k in self.order]
        assert m._data == self.data and {(k, type(k)) for k in m._data} == {(k, type(k)) for k in self.data}
        assert m.items() == [(k, self.data[k]) for k in self.order]
        assert m.values() == [self.data[k] for k in self.order]
        assert repr(m) == "RankMap(%r)" % (m.items(),)
        twin = RankMap(m.items())
        assert m == twin and not m != twin
        if len(self.order) > 1:
            twin.keys().reverse()
            assert m != twin


TestRankMap = RankMapMachine.TestCase
TestRankMap.settings = SETTINGS


# ---------------------------------------------------------------- WispSeq

class Item:
    """A weakly referenceable object that compares and sorts by its label, so
    that distinct objects can be equal."""

    def __init__(self, label, cyclic):
        self.label = label
        if cyclic:
            self.me = self  # only the cycle collector finalizes it

    def __eq__(self, other):
        return isinstance(other, Item) and self.label == other.label

    def __lt__(self, other):
        return self.label < other.label

    __hash__ = None

    def __repr__(self):
        return f"Item({self.label})"


LABEL = st.integers(0, 3)
SLOT = st.integers(0, 1)
PICK = st.integers(0, 2**16)  # an index into the live objects, taken modulo their number
SLICE = st.builds(slice, st.none() | st.integers(-6, 6), st.none() | st.integers(-6, 6),
                  st.none() | st.sampled_from([-2, -1, 1, 2]))


class WispSeqMachine(RuleBasedStateMachine):
    """Two WispSeq instances against two lists of live objects. The machine
    holds the only strong references to the objects (by token: hypothesis
    must not keep them alive), so dropping one finalizes it at once, or at
    the next collection when it is part of a cycle, and its entries must
    leave both instances."""

    def __init__(self):
        super().__init__()
        # What exists now (the test runner, hypothesis) is left out of the
        # collections below, which then cost what the machine made.
        gc.freeze()
        self.live = {}  # token -> object
        self.tokens = 0
        self.seqs = [WispSeq(), WispSeq()]
        self.models = [[], []]  # tokens

    def pick(self, n):
        return sorted(self.live)[n % len(self.live)]

    def objects(self, slot):
        return [self.live[t] for t in self.models[slot]]

    def token_of(self, obj):
        return next(t for t, o in self.live.items() if o is obj)

    def unchanged(self, exc, slot, call):
        before = list(self.seqs[slot].data)
        try:
            call()
        except exc:
            assert self.seqs[slot].data == before and all(a is b for a, b in zip(self.seqs[slot].data, before))
        else:
            raise AssertionError(f"{call} did not raise {exc}")

    @initialize(made=st.lists(st.tuples(LABEL, st.booleans()), min_size=2, max_size=6),
                fills=st.tuples(st.lists(PICK, max_size=8), st.lists(PICK, max_size=8)))
    def fill(self, made, fills):
        for label, cyclic in made:
            self.new(label, cyclic)
        for slot, picks in enumerate(fills):
            self.models[slot] = [self.pick(n) for n in picks]
            self.seqs[slot].extend(self.objects(slot))

    @rule(label=LABEL, cyclic=st.booleans())
    def new(self, label, cyclic):
        self.tokens += 1
        self.live[self.tokens] = Item(label, cyclic)

    @precondition(lambda self: self.live)
    @rule(n=PICK)
    def drop(self, n):
        token = self.pick(n)
        cyclic = hasattr(self.live[token], "me")
        del self.live[token]
        if cyclic:
            gc.collect()
        self.models = [[t for t in model if t != token] for model in self.models]

    @rule()
    def collect(self):
        gc.collect()

    @precondition(lambda self: self.live)
    @rule(slot=SLOT, n=PICK, where=st.integers(-6, 6), how=st.sampled_from(["append", "insert", "setitem"]))
    def write_one(self, slot, n, where, how):
        token, seq, model = self.pick(n), self.seqs[slot], self.models[slot]
        obj = self.live[token]
        if how == "append":
            seq.append(obj)
            model.append(token)
        elif how == "insert":
            seq.insert(where, obj)
            model.insert(where, token)
        elif -len(model) <= where < len(model):
            seq[where] = obj
            model[where] = token
        else:
            self.unchanged(IndexError, slot, lambda: seq.__setitem__(where, obj))

    @precondition(lambda self: self.live)
    @rule(slot=SLOT, picks=st.lists(PICK, max_size=4), how=st.sampled_from(["extend", "+=", "init", "slice"]),
          where=SLICE)
    def write_many(self, slot, picks, how, where):
        tokens = [self.pick(n) for n in picks]
        objs = [self.live[t] for t in tokens]
        seq, model = self.seqs[slot], self.models[slot]
        if how == "extend":
            seq.extend(objs)
            model.extend(tokens)
        elif how == "+=":
            seq += objs
            model += tokens
        elif how == "init":
            self.seqs[slot] = WispSeq(objs)
            self.models[slot] = tokens
        else:
            try:
                model[where] = tokens
            except ValueError:  # an extended slice of another length
                self.unchanged(ValueError, slot, lambda: seq.__setitem__(where, objs))
            else:
                seq[where] = objs

    @rule(slot=SLOT, bad=st.sampled_from([1, "x", None, (1,)]))
    def not_weakly_referenceable(self, slot, bad):
        seq = self.seqs[slot]
        self.unchanged(TypeError, slot, lambda: seq.append(bad))
        self.unchanged(TypeError, slot, lambda: seq.extend([*self.objects(slot), bad]))
        self.unchanged(TypeError, slot, lambda: seq.__iadd__([bad]))
        self.unchanged(TypeError, slot, lambda: bad in seq)

    @rule(slot=SLOT, where=st.integers(-6, 6) | SLICE, how=st.sampled_from(["del", "pop"]))
    def delete(self, slot, where, how):
        seq, model = self.seqs[slot], self.models[slot]
        if isinstance(where, int) and not -len(model) <= where < len(model):
            call = (lambda: seq.__delitem__(where)) if how == "del" else (lambda: seq.pop(where))
            self.unchanged(IndexError, slot, call)
        elif how == "pop" and isinstance(where, int):
            assert seq.pop(where) is self.live[model.pop(where)]
        elif how == "del":
            del seq[where]
            del model[where]

    @precondition(lambda self: self.live)
    @rule(slot=SLOT, n=PICK, how=st.sampled_from(["remove", "index", "count", "in"]))
    def lookup(self, slot, n, how):
        # Lookups match by equality of the objects: another object with the
        # same label is found as well.
        seq, objs, obj = self.seqs[slot], self.objects(slot), self.live[self.pick(n)]
        if how == "count":
            assert seq.count(obj) == objs.count(obj)
        elif how == "in":
            assert (obj in seq) == (obj in objs)
        elif obj not in objs:
            self.unchanged(ValueError, slot, lambda: getattr(seq, how)(obj))
        elif how == "index":
            assert seq.index(obj) == objs.index(obj)
        else:
            seq.remove(obj)
            del self.models[slot][objs.index(obj)]

    @rule(slot=SLOT, keyed=st.booleans(), reverse=st.booleans())
    def sort(self, slot, keyed, reverse):
        seq, objs = self.seqs[slot], self.objects(slot)
        entries = list(seq.data)
        if keyed:
            seq.sort(key=lambda o: -o.label, reverse=reverse)
            objs.sort(key=lambda o: -o.label, reverse=reverse)
        else:
            seq.sort(reverse=reverse)
            objs.sort(reverse=reverse)
        self.models[slot] = [self.token_of(o) for o in objs]
        assert sorted(map(id, seq.data)) == sorted(map(id, entries))  # the same references, reordered

    @rule(slot=SLOT, n=st.integers(-1, 3))
    def repeat(self, slot, n):
        self.seqs[slot] *= n
        self.models[slot] *= n

    @rule(slot=SLOT, where=SLICE, how=st.sampled_from(["slice", "reversed", "copy", "+", "*"]))
    def derive(self, slot, where, how):
        # The result goes to the other slot: new references of its own.
        seq, model = self.seqs[slot], self.models[slot]
        if how == "slice":
            new, tokens = seq[where], model[where]
        elif how == "reversed":
            new, tokens = reversed(seq), model[::-1]
        elif how == "copy":
            new, tokens = seq.copy(), list(model)
        elif how == "+":
            new, tokens = seq + self.seqs[1 - slot], model + self.models[1 - slot]
        else:
            new, tokens = seq * 2, model * 2
        assert type(new) is WispSeq
        self.seqs[1 - slot], self.models[1 - slot] = new, tokens

    @rule(slot=SLOT)
    def reverse_and_clear(self, slot):
        self.seqs[slot].reverse()
        self.models[slot].reverse()
        if len(self.models[slot]) > 4:
            self.seqs[slot].clear()
            self.models[slot] = []

    def teardown(self):
        gc.unfreeze()

    @invariant()
    def same_as_model(self):
        for seq, model in zip(self.seqs, self.models):
            objs = [self.live[t] for t in model]
            assert len(seq) == len(seq.data) == len(model)
            assert all(a is b for a, b in zip(seq, objs))
            assert all(type(e) is weakref.ref and e() is o for e, o in zip(seq.data, objs))
            assert seq == objs and repr(seq) == "WispSeq([%s])" % ", ".join(map(repr, objs))
        # An entry belongs to one instance only.
        assert not {id(e) for e in self.seqs[0].data} & {id(e) for e in self.seqs[1].data}


TestWispSeq = WispSeqMachine.TestCase
TestWispSeq.settings = SETTINGS


# ---------------------------------------------------------------- PathTable

PKEY = st.sampled_from(["a", "b", "c", 0, 1])
PLEAF = st.sampled_from([0, 1, 2, "", "x", None]) | st.sampled_from([dict, list, tuple]).map(lambda empty: empty())
# What comes back unchanged: tuples hold leaves only and do not start with
# an empty mapping; lists and mappings hold anything.
LEAF_TUPLE = st.lists(PLEAF, min_size=1, max_size=3).filter(lambda xs: xs[0] != {}).map(tuple)
NODE = st.recursive(PLEAF | LEAF_TUPLE,
                    lambda kids: st.dictionaries(PKEY, kids, max_size=3) | st.lists(kids, max_size=3),
                    max_leaves=6)
PDOC = st.dictionaries(PKEY, NODE, max_size=3)


class Unpackable:
    def __iter__(self):
        raise ZeroDivisionError


NOT_PAIRS = st.sampled_from([5, None, (1, 2, 3), ("p",), "abc", [], Unpackable()])


def leaves(node, path):
    """(path, leaf) below node in depth-first order, a position written as
    (type, index)."""
    if isinstance(node, dict) and node:
        for k, v in node.items():
            yield from leaves(v, path + (k,))
    elif isinstance(node, (list, tuple)) and node:
        for i, v in enumerate(node):
            yield from leaves(v, path + ((type(node), i),))
    else:
        yield path, node


def plain_path(path):
    return tuple((c.type_, c.index) if isinstance(c, IndexMarker) else c for c in path)


def step(node, component):
    return node[component.index if isinstance(component, IndexMarker) else component]


def set_in(node, path, value):
    """node with the leaf at path replaced (a tuple on the way is rebuilt)."""
    head, rest = path[0], path[1:]
    key = head.index if isinstance(head, IndexMarker) else head
    child = set_in(node[key], rest, value) if rest else value
    if isinstance(node, tuple):
        return node[:key] + (child,) + node[key + 1:]
    node[key] = child
    return node


class PathTableMachine(RuleBasedStateMachine):
    """A PathTable of generated documents against the list of its entries and
    the document they stand for: reconstruct() gives that document back, list
    operations store what they document, and a refused call changes nothing."""

    def __init__(self):
        super().__init__()
        self.fresh = 0

    def load_doc(self, doc):
        self.table = PathTable(doc)
        expected = [leaf for k, v in doc.items() for leaf in leaves(v, (k,))]
        assert [plain_path(e.path) for e in self.table] == [p for p, _ in expected]
        assert all(type(e) is DictItem and e.value is v for e, (_, v) in zip(self.table, expected))
        self.entries = [(DictItem, e.path, e.value) for e in self.table]
        self.doc = copy.deepcopy(doc)

    @initialize(doc=PDOC)
    def start(self, doc):
        self.load_doc(doc)

    @rule(doc=PDOC)
    def load(self, doc):
        self.load_doc(doc)

    def unchanged(self, exc, call):
        before = list(self.table)
        try:
            call()
        except exc as e:
            assert len(self.table) == len(before) and all(a is b for a, b in zip(self.table, before))
            return e
        raise AssertionError(f"{call} did not raise {exc}")

    @rule(doc=PDOC, how=st.sampled_from(["extend", "extend pairs", "append", "insert", "+="]))
    def add_document(self, doc, how):
        # A document under new top-level keys, added at the end.
        self.fresh += 1
        doc = {f"n{self.fresh}.{k}": v for k, v in doc.items()}
        other = PathTable(doc)
        if how == "extend":
            self.table.extend(other)
        elif how == "extend pairs":
            self.table.extend([[e.path, e.value] for e in other])
        elif how == "append":
            for e in other:
                self.table.append(tuple(e))
        elif how == "insert":
            for e in other:
                self.table.insert(len(self.table) + 3, e)
        else:
            self.table += other
            self.entries += [(DictItem, e.path, e.value) for e in other]
            assert all(a is b for a, b in zip(self.table[-len(other) or len(self.table):], other))
        if how != "+=":
            self.entries += [(DictItem, e.path, e.value) for e in other]
        self.doc.update(copy.deepcopy(doc))

    @precondition(lambda self: self.entries)
    @rule(n=st.integers(0, 99), value=st.integers(10, 20), as_list=st.booleans(), negative=st.booleans())
    def set_leaf(self, n, value, as_list, negative):
        i = n % len(self.entries)
        _, path, _ = self.entries[i]
        self.table[i - len(self.entries) if negative else i] = [path, value] if as_list else (path, value)
        self.entries[i] = (tuple, path, value)
        self.doc = set_in(self.doc, path, value)

    @precondition(lambda self: any(len(p) == 1 for _, p, _ in self.entries))
    @rule(n=st.integers(0, 99), how=st.sampled_from(["del", "pop"]))
    def remove_top_leaf(self, n, how):
        tops = [i for i, (_, p, _) in enumerate(self.entries) if len(p) == 1]
        i = tops[n % len(tops)]
        if how == "del":
            del self.table[i]
        else:
            assert self.table.pop(i) == self.entries[i][1:]
        del self.doc[self.entries.pop(i)[1][0]]

    @rule(bad=NOT_PAIRS, how=st.sampled_from(["append", "insert", "extend", "setitem", "slice"]),
          where=st.integers(-3, 3))
    def refused(self, bad, how, where):
        t = self.table
        calls = {
            "append": lambda: t.append(bad),
            "insert": lambda: t.insert(where, bad),
            "extend": lambda: t.extend([(("a",), 1), bad]),
            "setitem": lambda: t.__setitem__(where, bad),
            "slice": lambda: t.__setitem__(slice(0, where), [bad]),
        }
        e = self.unchanged(ValueError, calls[how])
        assert str(e) == "PathTable only accepts a tuple of path/obj"
        if isinstance(bad, Unpackable) and how != "slice":  # a slice checks the list [bad]
            assert type(e.__context__) is ZeroDivisionError

    @rule(where=st.sampled_from([10**6, -10**6, "0", 1.5]))
    def bad_index(self, where):
        self.unchanged((IndexError, TypeError), lambda: self.table.__setitem__(where, (("a",), 1)))

    @invariant()
    def same_as_model(self):
        assert len(self.table) == len(self.entries)
        for entry, (kind, path, value) in zip(self.table, self.entries):
            assert type(entry) is kind and entry[0] is path and entry[1] is value
        rebuilt = self.table.reconstruct()
        assert rebuilt == self.doc and rebuilt is not self.table.reconstruct()
        for _, path, value in self.entries:
            node = rebuilt
            for component in path:
                node = step(node, component)
            assert node is value


TestPathTable = PathTableMachine.TestCase
TestPathTable.settings = SETTINGS
