"""``ondrel-sdk cost``: what models cost on spiking hardware (neurons, synapses, operations, memory, energy)."""

from ..arguments import EXIT_ERROR, add_command, add_format_options
from ..batch import report_per_model
from ..files import FileError, read_model
from ..formats import JSON_FORMAT_HELP, plain, table_text
from ..terminal import display, print_error

COLUMNS = ("Layer", "Class", "Neurons", "Synapses", "Non-zero", "Fan-in max", "Fan-out max", "SynOps",
           "ACs", "MACs", "Energy (J per inference)")
CSV_COLUMNS = ("layer", "class", "neurons", "synapses", "nonzero_synapses", "fan_in_max", "fan_out_max", "synops",
               "acs", "macs", "energy_j")
FIELDS = ("name", "node_type", "neurons", "synapses", "nonzero_synapses", "fan_in_max", "fan_out_max", "synops",
          "acs", "macs", "energy_j")


def register(commands, common, batch):
    sub = add_command(commands, run, "cost",
                      "print what models cost on spiking hardware: neurons, synapses, fan-in and fan-out, "
                      "synaptic operations per timestep, parameter and state memory, energy",
                      "0 success, 2 unusable model, rates file or cost table", (common, batch), check_usage)
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files, or folders searched for them")
    rates = sub.add_mutually_exclusive_group()
    rates.add_argument("--rate", type=float, metavar="R",
                       help="one firing rate for every LIF layer: spikes per neuron per timestep, 0 to 1 "
                            "(default: none, every input element counted every timestep)")
    rates.add_argument("--rates", metavar="FILE",
                       help="firing rates or recorded spike counts per LIF layer: .json, .csv or .npz "
                            "(docs/deployment.md)")
    sub.add_argument("--timesteps", type=int, default=1, metavar="T",
                     help="timesteps of one inference (default 1): energy per inference is T times that per "
                          "timestep, and spike counts are spread over T")
    sub.add_argument("--costs", metavar="FILE", help="energy per operation from a TOML table (e_ac_pj, e_mac_pj, "
                                                     "e_update_pj; default: 45 nm estimates, docs/deployment.md)")
    sub.add_argument("--state-bits", type=int, default=16, metavar="BITS",
                     help="bits of state per neuron for the state memory (default 16)")
    add_format_options(sub, ("text", "json", "markdown", "csv"),
                       "text: a table of the layers with neurons or synapses and the totals (default); json: "
                       '"layers" (every node) and "totals", for several models a list of them, each with "path"; '
                       f"{JSON_FORMAT_HELP}; markdown and csv: the table")


def check_usage(args, error):
    if args.rate is not None and not 0 <= args.rate <= 1:
        error(f"--rate is spikes per neuron per timestep, from 0 to 1, not {args.rate:g}")
    if args.timesteps < 1 or args.state_bits < 1:
        error("--timesteps and --state-bits must be at least 1")


def cost_file(path, rates, timesteps, costs, state_bits):
    from ...deployment import deployment_stats

    graph = read_model(path)
    try:
        stats = deployment_stats(graph, rates=rates, timesteps=timesteps, costs=costs, state_bits=state_bits)
    except ValueError as e:
        raise FileError(path, str(e)) from None
    return plain(stats.to_dict())


def _number(value, places=None):
    if value is None:
        return "?"
    if isinstance(value, float):
        if places == "e":
            return f"{value:.3g}"
        return f"{value:,.1f}" if value != int(value) else f"{int(value):,}"
    return f"{value:,}"


def _shown(layers):
    return [layer for layer in layers if layer["neurons"] or layer["synapses"] or layer["note"]]


def render(path, result, output_format, batch):
    layers, totals = _shown(result["layers"]), result["totals"]
    if output_format == "csv":
        rows = [[layer[field] for field in FIELDS] for layer in layers]
        rows.append(["total", ""] + [totals.get(field, "") for field in FIELDS[2:]])
        return table_text(CSV_COLUMNS, rows, "csv", (path,) if batch else None)
    rows = [[display(layer["name"]), display(layer["node_type"])] +
            [_number(layer[field], "e" if field == "energy_j" else None) for field in FIELDS[2:]] for layer in layers]
    footer = ["Total", ""] + [_number(totals[field], "e" if field == "energy_j" else None) if field in totals else ""
                              for field in FIELDS[2:]]
    table = table_text(COLUMNS, rows, output_format, display(path) if batch and output_format == "markdown" else None,
                       footer=footer, numeric=(False, False) + (True,) * 9)
    costs = result["costs"]
    lines = [
        f"Per sample, per timestep unless stated; rates: {result['rates']}; {result['timesteps']} timestep(s); "
        f"state {result['state_width']} bits per neuron.",
        f"Parameter memory {totals['param_bits']:,} bits; neuron state {totals['state_bits']:,} bits; "
        f"{totals['neuron_updates']:,} neuron updates per timestep.",
        f"Energy: {totals['energy_j']:.4g} J per inference ({totals['energy_per_timestep_j']:.4g} J per timestep) "
        f"at e_AC {costs['e_ac'] * 1e12:g} pJ, e_MAC {costs['e_mac'] * 1e12:g} pJ, e_update "
        f"{costs['e_update'] * 1e12:g} pJ ({costs['source']}).",
    ]
    if totals["incomplete"]:
        lines.append(f"Unknown figures (no port shape or an unusable setting): "
                     f"{', '.join(display(name) for name in totals['incomplete'][:10])}"
                     + (" ..." if len(totals["incomplete"]) > 10 else ""))
    if output_format == "markdown":
        return table + "\n\n" + "\n".join(f"- {line}" for line in lines)
    return table + "\n\n" + "\n".join(lines)


def run(args):
    from ...deployment import CostsError, RatesError, load_costs, load_rates

    try:
        if args.rates is not None:
            load_rates(args.rates)  # a bad file is one error line before any model is read
        costs = load_costs(args.costs) if args.costs is not None else None
    except (RatesError, CostsError) as e:
        print_error(str(e), args.no_color)
        return EXIT_ERROR
    except OSError as e:
        print_error(f"{e.filename}: {e.strerror or e}", args.no_color)
        return EXIT_ERROR
    rates = args.rates if args.rates is not None else args.rate

    def show(path, result, single):
        shown = render(path, result, args.format, not single)
        return shown if args.format != "text" or single else f"==> {display(path)} <==\n{shown}"

    return report_per_model(args, cost_file, (rates, args.timesteps, costs, args.state_bits), show)
