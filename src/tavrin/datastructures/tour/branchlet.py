"""branchlet: the configuration drawn as a tree."""
from tavrin.datastructures.branchlet import Branchlet


def as_tree(name, value):
    """A node per mapping key and per list position; leaves show their value."""
    if isinstance(value, dict):
        return Branchlet(name, [as_tree(str(k), v) for k, v in value.items()])
    if isinstance(value, list):
        if not value:
            return Branchlet(f"{name}: []")
        return Branchlet(name, [as_tree(f"[{i}]", v) for i, v in enumerate(value)])
    return Branchlet(f"{name}: {value!r}")


def show(config, out):
    tree = as_tree("config", config)
    print(tree, file=out)
    logging = tree.children[-1]
    logging.add_child(Branchlet("note", ["a child may be any object:", 42]))
    print("\nafter logging.add_child(Branchlet('note', ['a child may be any object:', 42])):", file=out)
    print(logging, file=out)
    try:
        str(Branchlet("broken", {"a", "set"}))
    except TypeError as exc:
        print(f"\nchildren that cannot be sliced -> TypeError: {exc}", file=out)
