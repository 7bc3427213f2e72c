"""Will it fit: target profiles of hardware, the mapping of a model onto one, and quantization checks.

    from ondrel.sdk.targets import load_profile, check_target

    profile = load_profile("loihi")            # a shipped name, a profile file, or a pyproject.toml
    report = check_target(graph, profile)
    for issue in report.issues:                # ondrel.sdk.lint.LintIssue, codes TARGET_* and QUANT_*
        print(issue.code, issue.node, issue.message)
    print(report.fits, report.utilisation.cores_used)

The profile format, the shipped profiles and their sources, the packing and every code are
described in docs/targets.md.
"""

import importlib

# Loaded on first use, so that reading a profile (the command line's --help, its option checks) needs no numpy.
_EXPORTS = {
    "check": ("TargetReport", "Utilisation", "check_declared", "check_target"),
    "profiles": ("Limit", "NumberFormat", "ProfileError", "TargetProfile", "load_profile", "pyproject_profile",
                 "shipped_profiles"),
}
_MODULE_OF = {name: module for module, names in _EXPORTS.items() for name in names}

__all__ = sorted([*_MODULE_OF, "render_utilisation"])


def __getattr__(name):
    module = _MODULE_OF.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value

def _percent(used, capacity):
    return f"{used / capacity:.1%}" if capacity else "-"


def render_utilisation(utilisation, limit_rows=64):
    """The utilisation as text: one line per resource, then a table of the cores (the first ``limit_rows``)."""
    from .check import RESOURCES

    cores = f" of {utilisation.cores:,}" if utilisation.cores is not None else ""
    lines = [f"utilisation on {utilisation.target}: {utilisation.cores_used:,}{cores} cores"]
    for key, figures in utilisation.per_resource.items():
        lines.append(f"  {RESOURCES[key]:<15} {figures['used']:>14,} of {figures['capacity']:>14,}  "
                     f"{_percent(figures['used'], figures['capacity']):>7}")
    if utilisation.per_core:
        keys = list(utilisation.per_resource)
        header = "  core  " + "  ".join(f"{RESOURCES[key]:>15}" for key in keys) + "  layers"
        lines.append(header)
        for core in utilisation.per_core[:limit_rows]:
            cells = "  ".join(f"{_percent(core.used[key], core.capacity[key]):>15}" for key in keys)
            lines.append(f"  {core.core:>4}  {cells}  {', '.join(core.layers)}")
        hidden = len(utilisation.per_core) - limit_rows
        if hidden > 0:
            lines.append(f"  ... {hidden:,} more cores (all of them in --format json)")
    return "\n".join(lines)
