"""What a target adds to a model's report: each node's core, the target findings, the use of each core
and each resource (a provider of ``ondrel.sdk.report.contributions``)."""

from ..report.contributions import Chart, Column, Contribution, Finding


def target_provider(profile):
    """A report provider for ``profile``: pass it as ``ModelView(model, providers=[target_provider(profile)])``
    (the command line: ``ondrel-sdk report MODEL --target NAME|FILE``)."""

    def provider(graph, scene):
        from .check import check_target

        report = check_target(graph, profile)
        utilisation = report.utilisation
        cores_of = {}
        for core in utilisation.per_core:
            for layer in core.layers:
                cores_of.setdefault(layer, []).append(str(core.core))
        index = {node.name: i for i, node in enumerate(scene.nodes)}
        rows = []
        for core in utilisation.per_core:
            share = max((used / core.capacity[resource] for resource, used in core.used.items()
                         if core.capacity.get(resource)), default=0.0)
            first = next((index[layer] for layer in core.layers if layer in index), None)
            rows.append((f"core {core.core}", share, f"{share:.0%}", first))
        cores = f"{utilisation.cores_used:,}" + (f" of {utilisation.cores:,}" if utilisation.cores else "")
        totals = [("Target", utilisation.target), ("Fits", "yes" if report.fits else "no"), ("Cores", cores)]
        totals += [(resource.replace("_", " ").capitalize(), _share(use)) for resource, use in
                   utilisation.per_resource.items()]
        return Contribution(
            title=f"Target {utilisation.target}",
            columns=[Column("Core", [", ".join(cores_of.get(node.name, ())) or None for node in scene.nodes])],
            findings=[Finding(issue.severity.value, issue.code, issue.message, issue.node, issue.suggestion or "")
                      for issue in report.issues],
            charts=[Chart("Fullest resource per core", rows)] if rows else [],
            totals=totals)

    return provider


def _share(use):
    used, capacity = use.get("used", 0), use.get("capacity")
    return f"{used:,} of {capacity:,} ({used / capacity:.0%})" if capacity else f"{used:,}"
