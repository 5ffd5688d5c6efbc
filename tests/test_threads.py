"""Threads: objects held by WispSeq instances are created, read and dropped by
several threads at once, while others read MemberBag and NestedMemberBag
instances and one runs the cycle collector without pause. The weak-reference
callbacks then run on whichever thread finalizes an object, in the middle of
other threads' operations. Nothing may crash, and once things settle the
instances hold exactly the entries of the objects still alive.

PathTable.__flatten__ generators are stepped, sent to, thrown into and closed
by several threads at once: each call either runs alone or is refused as a
running Python generator refuses it, and the walk is never freed or changed
under a caller."""
import collections
import copy
import gc
import random
import sys
import threading
from collections.abc import MutableMapping

import pytest

from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag
from tavrin.datastructures.pathtable import IndexMarker, PathTable
from tavrin.datastructures.wispseq import WispSeq

SECONDS = 1.5
WORKERS = 4


def run_for(threads, stop):
    """Starts the threads, lets them run for SECONDS, then stops and joins
    them; collects what they left behind."""
    for t in threads:
        t.start()
    stop.wait(SECONDS)
    stop.set()
    for t in threads:
        t.join()
    gc.collect()


class Item:
    """Compares by identity in Python code, so every comparison the lists make
    runs bytecode, where the interpreter may switch threads."""

    def __init__(self, owner, serial, cyclic):
        self.owner, self.serial = owner, serial
        if cyclic:
            self.me = self  # only the cycle collector finalizes it

    def __eq__(self, other):
        return self is other

    __hash__ = object.__hash__

    def __lt__(self, other):
        return self.serial < other.serial

    def __repr__(self):
        return f"<{self.owner}.{self.serial}>"


DOC = {"net": {"eth0": {"mtu": 1500, "up": True}, "lo": {"mtu": 65536}}, "name": "box"}


class Run:
    def __init__(self):
        self.shared = [WispSeq() for _ in range(3)]
        self.bag = MemberBag(DOC, extra=1)
        self.nested = NestedMemberBag(DOC)
        self.stop = threading.Event()
        self.errors = []
        # Per worker: the objects it still holds, and how many entries it
        # put into each shared instance for each of them (by id).
        self.kept = {}
        self.counts = {}
        self.private = {}

    def guarded(self, fn, *args):
        def run():
            try:
                fn(*args)
            except BaseException as exc:  # reported by the test
                self.errors.append(exc)
                self.stop.set()
        return threading.Thread(target=run)

    def worker(self, me):
        rnd = random.Random(me)
        live = {}  # serial -> object
        counts = collections.Counter()  # (shared index, id) -> entries
        mine = WispSeq()  # positional writes go here only
        model = []  # the objects of `mine`, in order
        serial = 0
        while not self.stop.is_set():
            serial += 1
            obj = Item(me, serial, cyclic=rnd.random() < 0.3)
            live[serial] = obj
            k = rnd.randrange(3)
            seq = self.shared[k]
            how = rnd.randrange(4)
            if how == 0:
                seq.append(obj)
                n = 1
            elif how == 1:
                seq.insert(rnd.randrange(-3, 4), obj)
                n = 1
            elif how == 2:
                seq.extend([obj, obj])
                n = 2
            else:
                seq += [obj]
                n = 1
            counts[k, id(obj)] += n
            # The private instance: only the order of the survivors is
            # known, as its dropped objects leave it at any moment.
            if rnd.random() < 0.5:
                mine.append(obj)
                model.append(serial)
            else:
                mine.insert(0, obj)
                model.insert(0, serial)
            # Reads of shared instances, while the objects of other threads
            # come and go. A lookup compares entries one by one, running
            # Item.__eq__, and other threads may remove entries in front of
            # the one it is at: like list's own lookups it can then miss an
            # entry, so only their running is checked here, and the entries
            # themselves once things settle. None stands for an object whose
            # references the collector has cleared and whose callback has
            # not run yet.
            if obj in seq:
                try:
                    seq.index(obj)
                except ValueError:
                    pass
            seq.count(obj)
            for other in seq[: rnd.randrange(1, 8)]:
                assert other is None or isinstance(other, Item)
            repr(self.shared[rnd.randrange(3)])
            if counts[k, id(obj)] > 1 and rnd.random() < 0.5:
                try:
                    seq.remove(obj)
                except ValueError:
                    pass  # missed, and then nothing was removed
                else:
                    counts[k, id(obj)] -= 1
            # Drop an older object: its entries leave every instance, at once
            # or, for a cycle, when the collector thread gets to it.
            if len(live) > 20 or rnd.random() < 0.3:
                dropped = live.pop(rnd.choice(list(live)))
                for j in range(3):
                    counts.pop((j, id(dropped)), None)
                del dropped
            if rnd.random() < 0.05:
                mine.sort()
                model.sort()
            elif rnd.random() < 0.05:
                mine[:] = mine[::-1]
                model.reverse()
            elif rnd.random() < 0.05:
                mine *= 1
                # A copy of the entries is taken in one step; iterating the
                # instance itself could skip an entry removed meanwhile.
                objects = [e() for e in list(mine.data)]
                survivors = [o.serial for o in objects if o is not None and o.serial in live]
                assert survivors == [n for n in model if n in live]
                del objects
        self.kept[me] = live
        self.counts[me] = counts
        self.private[me] = (mine, model)

    def reader(self):
        bag, nested = self.bag, self.nested
        while not self.stop.is_set():
            assert bag.name == "box" and bag["net"]["eth0"]["mtu"] == 1500 and bag.extra == 1
            assert nested["net.eth0.mtu"] == 1500 and nested.net.lo.mtu == 65536
            assert "net.eth0.up" in nested and "net.wlan0" not in nested
            assert nested.get("net.wlan0.mtu", 0) == 0
            assert repr(bag).startswith("MemberBag(")
            twin = NestedMemberBag(nested)
            assert twin == nested and twin.net.eth0 is not nested.net.eth0
            for seq in self.shared:
                for obj in seq:
                    assert obj is None or isinstance(obj, Item)

    def collector(self):
        while not self.stop.is_set():
            gc.collect()


def test_wispseq_entries_follow_their_objects_across_threads():
    run = Run()
    unraisable = []
    old_hook, old_interval = sys.unraisablehook, sys.getswitchinterval()
    # Only the type and text: the exception's traceback would hold the frame
    # it was raised in, and with it objects whose entries must go below.
    sys.unraisablehook = lambda u: unraisable.append((type(u.exc_value), str(u.exc_value)))
    sys.setswitchinterval(1e-5)
    threads = [run.guarded(run.worker, i) for i in range(WORKERS)]
    threads += [run.guarded(run.reader), run.guarded(run.reader), run.guarded(run.collector)]
    try:
        run_for(threads, run.stop)
    finally:
        sys.setswitchinterval(old_interval)
        sys.unraisablehook = old_hook
    assert run.errors == []
    # The one complaint allowed: a lookup holds the entry it compares, and
    # when another thread removes that entry meanwhile and its object is then
    # finalized, the callback finds its reference no longer an entry.
    assert all(e == (ValueError, "list.remove(x): x not in list") for e in unraisable)

    # Settled: every entry is an object some worker still holds, as often as
    # that worker put it there.
    held = {id(obj): obj for live in run.kept.values() for obj in live.values()}
    for k, seq in enumerate(run.shared):
        expected = collections.Counter()
        for counts in run.counts.values():
            expected.update({key[1]: n for key, n in counts.items() if key[0] == k and n})
        got = collections.Counter(id(obj) for obj in seq)
        assert got == expected
        assert all(held[i] is obj for i, obj in zip(map(id, seq), seq))
        assert len(seq.data) == sum(expected.values())
    for me, (mine, model) in run.private.items():
        assert list(mine) == [run.kept[me][n] for n in model if n in run.kept[me]]
    # Dropping the rest empties every instance.
    run.kept.clear()
    held.clear()
    gc.collect()
    assert [len(seq) for seq in run.shared] == [0, 0, 0]
    assert all(len(mine) == 0 for mine, _ in run.private.values())


# ------------------------------------------------ the __flatten__ generator


class Busy(MutableMapping):
    """Nested data whose items() runs bytecode between entries, so the walk
    gives the interpreter room to switch threads in the middle of a step."""

    def __init__(self, n):
        self.n = n

    def items(self):
        for i in range(self.n):
            for _ in range(200):
                pass
            yield i, {"k": [i, (i, "t")], "e": []}

    __getitem__ = __setitem__ = __delitem__ = __iter__ = __len__ = None


def shape(entry):
    path, value = entry
    return tuple((c.type_.__name__, c.index) if isinstance(c, IndexMarker) else c for c in path), repr(value)


RUNNING = "generator already executing"


def test_flatten_generator_raced_by_next_send_throw_and_close():
    data = Busy(12)
    expected = [shape(e) for e in PathTable(data)]
    box = [PathTable.__flatten__(data)]
    made, yielded, unexpected = [], collections.defaultdict(list), []
    stop = threading.Event()

    class Slow(Exception):
        """Made inside throw(), while other threads may step the generator."""

        def __init__(self):
            super().__init__()
            for _ in range(200):
                pass

    class Nosy(Slow):
        """Steps the generator it is being thrown into."""

        def __init__(self):
            super().__init__()
            gen = box[0]
            step(gen, lambda: next(gen))

    def step(gen, op):
        try:
            out = op()
        except (StopIteration, Slow):
            pass
        except ValueError as exc:
            if str(exc) != RUNNING:
                raise
        else:
            if out is not None:
                yielded[id(gen)].append(shape(out))

    def stepper():
        while not stop.is_set():
            gen = PathTable.__flatten__(data)
            made.append(gen)
            box[0] = gen
            for _ in range(len(expected) + 1):
                step(gen, lambda: next(gen))

    def meddler(seed):
        rnd = random.Random(seed)
        while not stop.is_set():
            gen = box[0]
            op = rnd.choice([lambda: gen.send(None), lambda: gen.throw(Slow), lambda: gen.throw(Nosy), gen.close])
            step(gen, op)
            for _ in range(rnd.randrange(300)):
                pass  # lets walks get some way before the next blow

    def builder():
        while not stop.is_set():
            assert [shape(e) for e in PathTable(data)] == expected

    def guarded(fn, *args):
        def run():
            try:
                fn(*args)
            except BaseException as exc:  # reported by the test
                unexpected.append(exc)
                stop.set()
        return threading.Thread(target=run)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    threads = [guarded(stepper), guarded(stepper), guarded(builder)]
    threads += [guarded(meddler, i) for i in range(3)]
    try:
        run_for(threads, stop)
    finally:
        sys.setswitchinterval(old_interval)
    assert unexpected == []
    assert made
    for gen in made:
        # Every step yielded the next entry of the walk, once; the rest of
        # the walk follows, and a finished generator stays finished.
        seen = yielded[id(gen)]
        assert len(set(seen)) == len(seen) and set(seen) <= set(expected)
        rest = [shape(e) for e in gen]
        assert not set(rest) & set(seen) and set(rest) <= set(expected)
        assert next(gen, "end") == "end" and not gen.gi_running
        gen.close()
        assert next(gen, "end") == "end"
    assert [shape(e) for e in PathTable.__flatten__(data)] == expected


class Gate(MutableMapping):
    """items() runs `inside` between its two entries."""

    def __init__(self, inside):
        self.inside = inside

    def items(self):
        yield "a", 1
        self.inside()
        yield "b", 2

    __getitem__ = __setitem__ = __delitem__ = __iter__ = __len__ = None


def python_gate(inside):
    yield 1
    inside()
    yield 2


@pytest.mark.parametrize("make", [python_gate, lambda inside: PathTable.__flatten__(Gate(inside))])
def test_throw_whose_exception_is_made_while_another_thread_steps(make):
    # The exception is made before the generator is claimed; when it is
    # ready, another thread is inside a step: the throw is refused, and the
    # step goes on with the walk intact.
    init_started, stepping, thrown = threading.Event(), threading.Event(), threading.Event()

    def inside():
        stepping.set()
        assert thrown.wait(10)

    gen = make(inside)
    next(gen)

    class Late(Exception):
        def __init__(self):
            super().__init__()
            init_started.set()
            assert stepping.wait(10)

    got = []
    stepper = threading.Thread(target=lambda: init_started.wait(10) and got.append(next(gen)))
    stepper.start()
    try:
        with pytest.raises(ValueError, match=RUNNING):
            gen.throw(Late)
    finally:
        thrown.set()
        stepper.join()
    assert len(got) == 1 and next(gen, "end") == "end"


class Churn:
    """Finalized only by the cycle collector; its finalizer writes to the
    lists it was made with: appends itself, deletes the first entry, and at
    times sorts."""

    def __init__(self, rnd, lists):
        self.rnd, self.lists, self.me = rnd, lists, self

    def __eq__(self, other):
        return self is other

    __hash__ = object.__hash__

    def __lt__(self, other):
        return id(self) < id(other)

    def __del__(self):
        for seq in self.lists:
            try:
                if self.rnd.random() < 0.3:
                    seq.append(self)
                if len(seq) and self.rnd.random() < 0.3:
                    del seq[0]
                if self.rnd.random() < 0.05:
                    seq.sort()
            except (ValueError, IndexError, TypeError):
                pass  # None for an entry whose callback is pending; a concurrent sort


CHURN = [
    lambda s, o: s.sort(),
    lambda s, o: s.sort(key=id, reverse=True),
    lambda s, o: list(reversed(s)),
    lambda s, o: s[1::2],
    lambda s, o: copy.deepcopy(s),
    lambda s, o: [gc.collect() for x in s if x is o],
    lambda s, o: o in s and s.index(o) + s.count(o),
    lambda s, o: s.remove(o),
    lambda s, o: s.__setitem__(slice(0, 1), [o, o]),
    lambda s, o: repr(s),
]


def test_wispseq_under_the_collector_and_finalizers_that_write_to_it():
    """Lists written by threads, by the finalizers of what they hold and by
    the cycle collector's callbacks, with copies of them left in garbage
    cycles. Afterwards each list holds live objects only, and reads agree
    with its entries."""
    stop = threading.Event()
    errors, unraisable, finals = [], [], []

    def worker(seed):
        rnd = random.Random(seed)
        lists = [WispSeq() for _ in range(2)]
        keep = []
        try:
            while not stop.is_set():
                seq = rnd.choice(lists)
                # At times a copy that only the new object's cycle holds: a
                # list the collector tears down while its objects' finalizers
                # write to it.
                extra = [WispSeq(seq)] if rnd.random() < 0.1 else []
                obj = Churn(rnd, lists + extra)
                for other in extra:
                    other.append(obj)
                seq.append(obj)
                seq.insert(0, obj)
                seq.extend([obj, obj])
                if rnd.random() < 0.1:
                    keep.append(obj)
                    del keep[: len(keep) - 5]
                for op in rnd.sample(CHURN, 2):
                    try:
                        op(seq, obj)
                    except (ValueError, IndexError, TypeError):
                        pass  # list modified during sort; None for a pending entry
                del obj
        except BaseException as exc:  # reported by the test
            errors.append(exc)
        finals.append((lists, keep))

    old_hook, old_interval, old_threshold = sys.unraisablehook, sys.getswitchinterval(), gc.get_threshold()
    sys.unraisablehook = lambda u: unraisable.append(u.exc_value)
    sys.setswitchinterval(1e-6)
    gc.set_threshold(5, 2, 2)
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(WORKERS)]
    try:
        run_for(threads, stop)
    finally:
        gc.set_threshold(*old_threshold)
        sys.setswitchinterval(old_interval)
        sys.unraisablehook = old_hook
    assert errors == []
    # A callback whose list the collector is tearing down finds no entries.
    assert all(isinstance(e, (ValueError, AttributeError)) for e in unraisable)
    for lists, keep in finals:
        for seq in lists:
            objects = list(seq)
            assert len(objects) == len(seq.data) == len(seq)
            assert all(type(o) is Churn for o in objects)  # alive: no None
            assert {id(o) for o in objects} <= {id(o) for o in keep}
    keep = None
    finals.clear()


# ------------------------------------------------------------- RankMap


class Meddler:
    """A RankMap key whose hash and == run bytecode and now and then change
    its own map during a search (shortening the list being searched), or
    walk every list the collector tracks, half-built results included.
    Disarmed for the checks at the end, whose lookups compare keys too."""

    armed = True

    def __init__(self, n, home):
        self.n, self.home = n, home

    def __hash__(self):
        h = 0
        for _ in range(self.n % 4 + 1):
            h += 1
        return self.n % 5 + h

    def __eq__(self, other):
        m, rnd = self.home
        roll = rnd.random() if Meddler.armed else 1.0
        if roll < 0.05 and len(m) > 2:
            m.pop(next(iter(m)), None)
        elif roll < 0.08 and len(m):
            m.move(next(iter(m)), 0)
        elif roll < 0.1:
            m[f"s{self.n}"] = self.n
        elif roll < 0.101:
            for lst in [o for o in gc.get_objects() if type(o) is list]:
                for _ in lst:
                    pass
        return isinstance(other, Meddler) and other.n == self.n


class Finalized:
    """A value in a cycle: the collector thread finalizes it in the middle of
    whatever the other threads do. It reads every map and writes the shared
    one."""

    def __init__(self, maps, shared, n):
        self.maps, self.shared, self.n = maps, shared, n
        self.me = self

    def __del__(self):
        try:
            for m in self.maps:
                m.items()
                repr(m)
        except (KeyError, ValueError):
            pass  # a read that met another thread's write half done
        self.shared[f"f{self.n % 7}"] = self.n


def test_rankmap_under_threads_collector_and_keys_that_change_it():
    """Each worker's own map meets keys that change it during its searches,
    as the list operations behind it allow: such a map can end with its
    store and order list disagreeing, as the documented steps would leave
    it, but every read stays safe. The shared map is written by all threads
    with str keys and int values, whose operations run no Python code: its
    store and order list agree at the end."""
    from tavrin.datastructures.rankmap import RankMap

    shared = RankMap()
    maps = [RankMap() for _ in range(WORKERS)]
    stop = threading.Event()
    errors = []

    def worker(me):
        rnd = random.Random(me)
        m = maps[me]
        home = (m, rnd)
        try:
            while not stop.is_set():
                key = Meddler(rnd.randrange(12), home)
                op = rnd.randrange(9)
                try:
                    if op == 0:
                        m[key] = Finalized(maps, shared, rnd.randrange(50))
                    elif op == 1:
                        del m[key]
                    elif op == 2:
                        m.insert(key, 0, rnd.randrange(-3, 4))
                    elif op == 3:
                        m.move(key, rnd.randrange(-3, 4))
                    elif op == 4:
                        m.update([(key, 1)], extra=2)
                    elif op == 5:
                        m.copy()
                    elif op == 6:
                        m.popitem()
                    else:
                        other = maps[rnd.randrange(WORKERS)]
                        (other.items(), other.values(), repr(other))
                except (KeyError, ValueError):
                    pass
                name = f"k{rnd.randrange(20)}"
                try:
                    if rnd.random() < 0.5:
                        shared[name] = me
                    elif rnd.random() < 0.5:
                        shared.insert(name, me, rnd.randrange(-3, 4))
                    else:
                        del shared[name]
                        shared.move(next(iter(shared)), rnd.randrange(3))
                except (KeyError, StopIteration):
                    pass
        except BaseException as exc:
            errors.append(exc)
            stop.set()

    def collector():
        while not stop.is_set():
            gc.collect()

    old_interval, old_threshold = sys.getswitchinterval(), gc.get_threshold()
    sys.setswitchinterval(1e-5)
    gc.set_threshold(20, 5, 5)
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(WORKERS)]
    threads.append(threading.Thread(target=collector))
    try:
        run_for(threads, stop)
    finally:
        sys.setswitchinterval(old_interval)
        gc.set_threshold(*old_threshold)
    assert errors == []
    Meddler.armed = False
    for m in maps:
        assert list(m) == m._order and len(m) == len(m._order)
        try:
            assert m.values() == [m._data[k] for k in m._order]
        except KeyError:
            assert any(k not in m._data for k in m._order)
    data, order = shared._data, shared._order
    assert sorted(order) == sorted(data) and len(set(order)) == len(order)
    assert shared.items() == [(k, data[k]) for k in order]


# ------------------------------------------- class namespaces that fight back


def _namespace_cases():
    from tavrin.datastructures.branchlet import Branchlet
    from tavrin.datastructures.logic import And, Or
    from tavrin.datastructures.rankmap import RankMap

    def rankmap(obj):
        obj.__init__()  # its first lookups learn the whole class, _data among them
        obj["a"] = 1
        return obj.items() == [("a", 1)]

    return {
        # base class, name our code looks up, constructor, use and check
        "rankmap": (RankMap, "_data", lambda cls: cls.__new__(cls), rankmap),
        "branchlet": (Branchlet, "__str__", lambda cls: cls("c"),
                      lambda obj: str(Branchlet("r", [obj, Branchlet("z")])) == "r\n|-- c\n`-- z"),
        "logic": (Or, "__call__", lambda cls: cls("a"), lambda obj: And(obj)("a") is True),
    }


@pytest.mark.parametrize("case", ["rankmap", "branchlet", "logic"])
@pytest.mark.parametrize("attack", ["new-bases", "new-class"])
def test_a_class_namespace_key_that_changes_the_class_during_our_lookup(case, attack):
    """A key in a class namespace that collides with a name our code looks
    up runs its __eq__ in the middle of that lookup: there it gives the class
    new bases, or moves the instance to another class and lets the old one be
    collected. The lookup must not walk a freed MRO or type."""
    base, name, make, use = _namespace_cases()[case]
    armed = []

    class Key:
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            if armed:
                obj = armed.pop()
                if attack == "new-bases":
                    type(obj).__bases__ = (type("Other", (base,), {}),)
                else:
                    obj.__class__ = base
                gc.collect()
            return False

    cls = type("Hostile", (base,), {Key(): None})
    obj = make(cls)
    del cls
    armed.append(obj)
    assert use(obj)
    assert not armed  # the key was compared during our lookup
