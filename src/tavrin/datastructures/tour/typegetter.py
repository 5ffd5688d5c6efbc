"""typegetter: per-class settings computed from the class they are read through."""
from tavrin.datastructures.typegetter import typegetter


def show(config, out):
    class Section:
        @typegetter
        def key(cls):
            return cls.__name__.lower()

        @typegetter
        def settings(cls):
            return sorted(config.get(cls.key, {}))

    class Service(Section):
        pass

    class Network(Section):
        pass

    class Logging(Section):
        pass

    for cls in (Service, Network, Logging):
        print(f"{cls.__name__}.key -> {cls.key!r:10} {cls.__name__}.settings -> {cls.settings}", file=out)
    config["service"]["region"] = "eu-west"
    print(f"computed on every read: after adding service.region, Service.settings -> {Service.settings}",
          file=out)
    section = Network()
    section.key = "overridden"
    print(f"an instance read uses the class: Logging().key -> {Logging().key!r}; an instance "
          f"assignment shadows it: {section.key!r}, Network.key still {Network.key!r}", file=out)
