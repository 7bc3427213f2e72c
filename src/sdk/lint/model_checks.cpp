// Whole-model size, from the analysis module's parameter total.
#include "sdk/lint/lint.hpp"

namespace ondrel::lint {

namespace {

const Name analyze_graph_name("analyze_graph"), total_params_name("total_params");
const Name large_model("LARGE_MODEL"), small_model("SMALL_MODEL");
const Name more_resources("Large models may require more FPGA resources");
const Name verify_small("Very small model; verify this is intentional");

// A model above this many parameters is large, one below the other small (0 is neither).
constexpr long long large_model_params = 10'000'000;
constexpr const char* large_model_text = "10M";
constexpr long long small_model_params = 100;

}  // namespace

void check_model_size(nb::handle graph, nb::handle result) {
    // Looked up at call time: the name the module imported when it was loaded,
    // or whatever has replaced it since.
    // While that is still the analysis module's own function, only its
    // parameter total is computed: the same reads, without the records.
    nb::object total;
    if (state().analysis && !state().analysis->replacement(0).is_valid()) {
        bool names_checked = shared_graph(graph, IrModule()) != nullptr;
        total = call(state().total_params, {graph, boolean(names_checked)});
    } else {
        nb::object stats = call(module_function(state().module, analyze_graph_name), {graph});
        total = attr(stats, total_params_name);
    }
    Reporter report(result);
    if (greater(total, integer(large_model_params))) {
        report.add(Severity::Info, large_model.get(),
                   "Graph has " + format_of(total, ",") + " parameters (> " + large_model_text + ")", nb::handle(),
                   more_resources.get());
    }
    if (less(total, integer(small_model_params)) && greater(total, integer(0))) {
        report.add(Severity::Info, small_model.get(), "Graph has only " + format_of(total, "") + " parameters",
                   nb::handle(), verify_small.get());
    }
}

}  // namespace ondrel::lint
