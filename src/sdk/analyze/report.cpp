// The number formatters and the text summary.
#include "sdk/analyze/analyze.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace ondrel::analyze {

namespace {

const Name analyze_graph_name("analyze_graph");
const Name node_count("node_count"), edge_count("edge_count"), depth("depth"), width("width");
const Name total_params_name("total_params"), total_bytes("total_bytes"), total_flops("total_flops");
const Name type_counts("type_counts"), input_shapes("input_shapes"), output_shapes("output_shapes");
const Name lif_count("lif_count"), layers("layers"), params("params"), name("name"), node_type("node_type");
const Name bytes_name("bytes"), items_name("items");

// The argument as an integer: ints as they are, other numbers through int().
nb::object as_integer(nb::handle value) {
    if (PyLong_Check(value.ptr())) return nb::borrow(value);
    PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
    if (!number || (!number->nb_int && !number->nb_index && !number->nb_float))
        raise(PyExc_TypeError, "an integer is required (got type %.200s)", Py_TYPE(value.ptr())->tp_name);
    return own(PyNumber_Long(value.ptr()));
}

// An integer argument of the formatters. Machine integers below 2**53 take a
// fast path: converting them to double is exact, so the division below is
// the host's true division, correctly rounded.
class SmallInteger {
public:
    explicit SmallInteger(long long value) : value_(value) {}
    bool below(long long bound) const { return value_ < bound; }
    std::string plain() const { return std::to_string(value_); }
    std::string with_commas() const {
        std::string digits = std::to_string(value_ < 0 ? -value_ : value_), grouped;
        for (size_t i = 0; i < digits.size(); ++i) {
            if (i && (digits.size() - i) % 3 == 0) grouped += ',';
            grouped += digits[i];
        }
        return value_ < 0 ? "-" + grouped : grouped;
    }
    std::string scaled(long long divisor, int precision) const {
        return format_double(static_cast<double>(value_) / static_cast<double>(divisor), 'f', precision);
    }

private:
    long long value_;
};

// Any other integer, through the host's arithmetic and formatting.
class HostInteger {
public:
    explicit HostInteger(nb::object value) : value_(std::move(value)) {}
    bool below(long long bound) const { return less(value_, integer(bound)); }
    std::string plain() const { return str_of(value_); }
    std::string with_commas() const { return format_of(value_, ","); }
    std::string scaled(long long divisor, int precision) const {
        nb::object quotient = own(PyNumber_TrueDivide(value_.ptr(), integer(divisor).ptr()));
        return format_double(to_double(quotient), 'f', precision);
    }

private:
    nb::object value_;
};

template <typename Integer>
std::string bytes_rule(const Integer& b) {
    if (b.below(1024)) return b.plain() + " B";
    if (b.below(1024LL * 1024)) return b.scaled(1024, 1) + " KB";
    if (b.below(1024LL * 1024 * 1024)) return b.scaled(1024LL * 1024, 1) + " MB";
    return b.scaled(1024LL * 1024 * 1024, 2) + " GB";
}

template <typename Integer>
std::string number_rule(const Integer& n) {
    if (n.below(1000)) return n.plain();
    if (n.below(100000)) return n.with_commas();
    if (n.below(1000000)) return n.scaled(1000, 1) + "K";
    return n.scaled(1000000, 2) + "M";
}

// Runs a formatter on the argument taken as an integer.
template <typename Format>
std::string format_integer(nb::handle value, Format&& format) {
    nb::object number = as_integer(value);
    if (PyLong_CheckExact(number.ptr())) {
        int overflow = 0;
        long long small = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (small == -1 && PyErr_Occurred()) throw nb::python_error();
        constexpr long long exact_limit = 1LL << 53;
        if (!overflow && small > -exact_limit && small < exact_limit) return format(SmallInteger(small));
    }
    return format(HostInteger(std::move(number)));
}

std::string bytes_text(nb::handle value) {
    return format_integer(value, [](const auto& b) { return bytes_rule(b); });
}
std::string number_text(nb::handle value) {
    return format_integer(value, [](const auto& n) { return number_rule(n); });
}

// A shape tuple as the host prints it, numpy integer entries as plain integers.
std::string shape_text(nb::handle shape) {
    if (!PyTuple_Check(shape.ptr())) return str_of(shape);
    std::string text = "(";
    Py_ssize_t size = PyTuple_GET_SIZE(shape.ptr());
    for (Py_ssize_t i = 0; i < size; ++i) {
        nb::handle item = PyTuple_GET_ITEM(shape.ptr(), i);
        if (i) text += ", ";
        if (PyTuple_Check(item.ptr())) {
            RecursionGuard guard(" while printing a shape");  // a hostile nesting depth
            text += shape_text(item);
        } else if (!PyLong_Check(item.ptr()) && !PyBool_Check(item.ptr()) && PyIndex_Check(item.ptr())) {
            text += str_of(own(PyNumber_Index(item.ptr())));
        } else {
            text += str_of(own(PyObject_Repr(item.ptr())));
        }
    }
    if (size == 1) text += ",";
    return text + ")";
}

std::string measure_text(nb::handle value) { return value.is_none() ? "N/A (cyclic)" : str_of(value); }

}  // namespace

nb::object format_bytes(nb::handle value) { return text(bytes_text(value)); }
nb::object format_number(nb::handle value) { return text(number_text(value)); }

nb::object summarize(nb::handle graph, bool verbose) {
    // Held over the report too: otherwise the records analyze_graph leaves
    // behind set off a collection as soon as the report allocates.
    GcPause no_collections;
    nb::object stats = call(module_function(state().module, analyze_graph_name), {graph});
    const std::string rule(50, '=');

    std::string report = "ONDREL IR Graph Summary\n" + rule + "\n";
    report += "Nodes: " + str_of(attr(stats, node_count)) + "  |  Edges: " + str_of(attr(stats, edge_count)) +
              "  |  Depth: " + measure_text(attr(stats, depth)) + "  |  Width: " + measure_text(attr(stats, width)) +
              "\n";
    report += "Parameters: " + number_text(attr(stats, total_params_name)) +
              "  |  Memory: " + bytes_text(attr(stats, total_bytes)) +
              "  |  FLOPs: " + number_text(attr(stats, total_flops)) + "\n";
    report += "\nLayer Types:";

    std::vector<std::pair<std::string, std::string>> counts;
    nb::object items = call_method(attr(stats, type_counts), items_name);
    for (const nb::object& item : iterate(items)) {
        std::vector<nb::object> pair = unpack_exactly(item, 2);
        counts.emplace_back(str_of(pair[0]), str_of(pair[1]));
    }
    // Code-point order, as the host sorts strings (UTF-8 byte order agrees).
    std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [type, count] : counts) report += "\n  " + type + ": " + count;

    nb::object inputs = attr(stats, input_shapes);
    if (truthy(inputs)) report += "\n\nInput: " + shape_text(own(PySequence_GetItem(inputs.ptr(), 0)));
    nb::object outputs = attr(stats, output_shapes);
    if (truthy(outputs)) report += "\nOutput: " + shape_text(own(PySequence_GetItem(outputs.ptr(), 0)));
    nb::object lifs = attr(stats, lif_count);
    if (greater(lifs, integer(0))) report += "\n\nSNN: " + str_of(lifs) + " LIF neuron layer(s)";

    if (verbose) {
        report += "\n\n" + rule + "\nLayer Breakdown:";
        for (const nb::object& layer : iterate(attr(stats, layers))) {
            nb::object layer_params = attr(layer, params);
            if (!greater(layer_params, integer(0))) continue;
            report += "\n  " + str_of(attr(layer, name)) + ": " + str_of(attr(layer, node_type)) + " - " +
                      number_text(layer_params) + " params, " + bytes_text(attr(layer, bytes_name));
        }
    }
    return text(report);
}

}  // namespace ondrel::analyze
