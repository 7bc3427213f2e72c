// Whole-model size, from the analysis module's parameter total.
#include "sdk/lint/lint.hpp"

namespace ondrel::lint {

namespace {

const Name analyze_graph_name("analyze_graph"), total_params_name("total_params");
const Name large_model("LARGE_MODEL"), small_model("SMALL_MODEL");
const Name more_resources("Large models may require more FPGA resources");
const Name verify_small("Very small model; verify this is intentional");

}  // namespace

void check_model_size(nb::handle graph, nb::handle result) {
    // Looked up at call time: the name the module imported when it was loaded,
    // or whatever has replaced it since.
    nb::object stats = call(module_function(this_module(), analyze_graph_name), {graph});
    nb::object total = attr(stats, total_params_name);
    Reporter report(result);
    if (greater(total, integer(10'000'000))) {
        report.add(Severity::Info, large_model.get(), "Graph has " + format_of(total, ",") + " parameters (> 10M)",
                   nb::handle(), more_resources.get());
    }
    if (less(total, integer(100)) && greater(total, integer(0))) {
        report.add(Severity::Info, small_model.get(), "Graph has only " + format_of(total, "") + " parameters",
                   nb::handle(), verify_small.get());
    }
}

}  // namespace ondrel::lint
