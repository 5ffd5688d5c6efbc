"""memberbag: the configuration with attribute access and dotted paths."""
from tavrin.datastructures.memberbag import MemberBag, NestedMemberBag


def show(config, out):
    cfg = NestedMemberBag(config)
    print(f"cfg.service.name           -> {cfg.service.name!r}", file=out)
    print(f"cfg['logging.targets.file.rotate'] -> {cfg['logging.targets.file.rotate']!r}", file=out)
    cfg["logging.targets.syslog.host"] = "loghost"
    print(f"after cfg['logging.targets.syslog.host'] = 'loghost':", file=out)
    print(f"  cfg.logging.targets      -> {cfg.logging.targets!r}", file=out)
    cfg.update({"service": {"debug": True, "workers": 4}})
    print(f"after a nested update, cfg.service -> {cfg.service!r}", file=out)
    print(f"'network.dns.search' in cfg -> {'network.dns.search' in cfg}", file=out)
    try:
        cfg["service.name.first"] = "x"
    except KeyError as exc:
        print(f"writing through a value   -> KeyError: {exc.args[0]}", file=out)
    bag = MemberBag(host="localhost", port=8080)
    bag.port += 1
    print(f"MemberBag with bag.port += 1 -> {bag!r}", file=out)
