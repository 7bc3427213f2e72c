// Whole-model size, from the analysis's parameter total.
#include "sdk/lint/lint.hpp"

#include "sdk/analyze/analyze.hpp"

namespace ondrel::lint {

namespace {

const Name analyze_graph_name("analyze_graph"), total_params_name("total_params");

// A model above this many parameters is large, one below the other small (0 is neither).
constexpr long long large_model_params = 10'000'000;
constexpr long long small_model_params = 100;

void report_size(nb::handle total, Issues& issues) {
    if (greater(total, integer(large_model_params)))
        issues.add(Code::LARGE_MODEL, nb::handle(), {{"total", format_of(total, ",")}});
    if (less(total, integer(small_model_params)) && greater(total, integer(0)))
        issues.add(Code::SMALL_MODEL, nb::handle(), {{"total", format_of(total, "")}});
}

}  // namespace

void check_model_size(nb::handle graph, nb::handle result) {
    ResultMethods issues(result);
    // Looked up at call time: the name the module imported when it was loaded,
    // or whatever has replaced it since. While that is still the analysis
    // module's own function, only its parameter total is computed: the same
    // reads, without the records.
    nb::object total;
    if (state().analysis && !state().analysis->replacement(0).is_valid()) {
        total = call(state().total_params, {graph});
    } else {
        nb::object stats = call(module_function(state().module, analyze_graph_name), {graph});
        total = attr(stats, total_params_name);
    }
    report_size(total, issues);
}

// The graph passed the IR layer's validation, so the analysis's own measures
// cannot fail on it: its parameter total is all there is to take.
void native::check_model_size(const LintContext& lint) { report_size(analyze::total_params(lint.graph), lint.issues); }

}  // namespace ondrel::lint
