// Per node: port shapes, neurons, the weighted stages' figures, non-zero
// synapses, parameter bits and spike sources, as columns for the Python side.
#include "sdk/_deployment/deployment.hpp"

#include "ir_interface/array_view.hpp"
#include "ir_interface/guarded_read.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace ondrel::deployment {

std::string wide_text(Wide value) {
    const bool negative = value < 0;
    unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(value);
    std::string digits;
    do digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    while (magnitude /= 10);
    return negative ? "-" + digits : digits;
}

nb::object wide_int(Wide value) {
    if (value >= INT64_MIN && value <= INT64_MAX) return integer(static_cast<long long>(value));
    return own(PyLong_FromString(wide_text(value).c_str(), nullptr, 10));
}

PortShapes port_shapes(const GraphViews& graph) {
    shapes::GraphShapes inferred = shapes::infer(graph.nodes(), graph.links());
    const size_t count = graph.size();
    PortShapes found{std::move(inferred.input), std::move(inferred.output)};
    std::vector<uint32_t> predecessors(count), single(count);
    std::vector<std::vector<uint32_t>> successors;
    for (const Link& link : graph.links()) ++predecessors[link.second], single[link.second] = link.first;
    auto declared = [&](size_t node, Field ports, const Name& port) {
        return shapes::declared_shape(graph.node(node), ports, port, true);
    };
    for (size_t i = 0; i < count; ++i) {
        if (!found.input[i]) {
            found.input[i] = declared(i, Field::input_type, shapes::input_port);
            if (!found.input[i] && predecessors[i] == 1 && graph.unknown_sources(i) == 0)
                found.input[i] = declared(single[i], Field::output_type, shapes::output_port);
        }
        if (!found.output[i]) {
            found.output[i] = declared(i, Field::output_type, shapes::output_port);
            if (found.output[i]) continue;
            if (successors.empty()) {
                successors.resize(count);
                for (const Link& link : graph.links()) successors[link.first].push_back(link.second);
            }
            for (uint32_t after : successors[i])
                if ((found.output[i] = declared(after, Field::input_type, shapes::input_port))) break;
        }
    }
    return found;
}

namespace {

// The LIF layers of several inputs together; null unless every one is spikes.
std::shared_ptr<const Sources> merged(std::span<const std::shared_ptr<const Sources>* const> parts) {
    if (parts.empty()) return nullptr;
    for (const auto* part : parts)
        if (!*part) return nullptr;
    if (parts.size() == 1) return *parts[0];
    auto all = std::make_shared<Sources>();
    for (const auto* part : parts)
        for (const auto& [lif, times] : **part) {
            auto same = std::find_if(all->begin(), all->end(), [&](const auto& entry) { return entry.first == lif; });
            if (same == all->end()) all->emplace_back(lif, times);
            else same->second += times;
        }
    return all;
}

}  // namespace

std::vector<std::shared_ptr<const Sources>> input_sources(const GraphViews& graph) {
    const size_t count = graph.size();
    // Edges by destination, in edge order.
    std::vector<uint32_t> in_start(count + 1), sources_of(graph.links().size());
    std::vector<std::vector<uint32_t>> successors(count);
    for (const Link& link : graph.links()) ++in_start[link.second + 1], successors[link.first].push_back(link.second);
    std::partial_sum(in_start.begin(), in_start.end(), in_start.begin());
    {
        std::vector<uint32_t> fill(in_start.begin(), in_start.end() - 1);
        for (const Link& link : graph.links()) sources_of[fill[link.second]++] = link.first;
    }
    std::vector<SpikeRole> roles(count);
    for (size_t i = 0; i < count; ++i) roles[i] = spike_role(graph.node(i));
    // What each node's output is: the spikes of these LIF layers, or null. A
    // node passing spikes on settles once all its inputs have (Kahn's order);
    // one never settled lies on or behind a cycle of such nodes: not spikes.
    std::vector<std::shared_ptr<const Sources>> carried(count);
    std::vector<uint32_t> waiting(count), ready;
    std::vector<const std::shared_ptr<const Sources>*> parts;
    auto gather = [&](size_t node) {
        parts.clear();
        for (uint32_t k = in_start[node]; k < in_start[node + 1]; ++k) parts.push_back(&carried[sources_of[k]]);
        return graph.unknown_sources(node) ? nullptr : merged(parts);
    };
    for (size_t i = 0; i < count; ++i) {
        waiting[i] = roles[i] == SpikeRole::Passes ? in_start[i + 1] - in_start[i] : 0;
        if (!waiting[i]) ready.push_back(static_cast<uint32_t>(i));
    }
    while (!ready.empty()) {
        const uint32_t at = ready.back();
        ready.pop_back();
        if (roles[at] == SpikeRole::Source) carried[at] = std::make_shared<Sources>(Sources{{at, 1.0}});
        else if (roles[at] == SpikeRole::Passes) carried[at] = gather(at);
        for (uint32_t after : successors[at])
            if (roles[after] == SpikeRole::Passes && --waiting[after] == 0) ready.push_back(after);
    }
    std::vector<std::shared_ptr<const Sources>> inputs(count);
    for (size_t i = 0; i < count; ++i) {
        bool settled = true;  // every input's kind is known (not behind a cycle)
        for (uint32_t k = in_start[i]; k < in_start[i + 1]; ++k)
            settled = settled && !(roles[sources_of[k]] == SpikeRole::Passes && waiting[sources_of[k]]);
        if (settled) inputs[i] = gather(i);
    }
    return inputs;
}

namespace {

// Adds the non-zero elements per kernel tap of a C-contiguous weight whose
// last axes hold `taps` elements per group, read under the guard (a mapped
// file may shrink meanwhile).
template <typename Element, typename IsNonzero>
void count_taps(const std::byte* data, size_t elements, size_t taps, IsNonzero nonzero, std::vector<uint64_t>& counts) {
    auto element = [data](size_t i) {
        Element value;
        std::memcpy(&value, data + i * sizeof(Element), sizeof(Element));
        return value;
    };
    guarded_read([&] {
        if (taps == 1) {  // an affine weight: one count, a loop the compiler vectorises
            uint64_t found = 0;
            for (size_t i = 0; i < elements; ++i) found += nonzero(element(i)) ? 1 : 0;
            counts[0] += found;
            return;
        }
        for (size_t start = 0; start + taps <= elements; start += taps)
            for (size_t t = 0; t < taps; ++t) counts[t] += nonzero(element(start + t)) ? 1 : 0;
    });
}

// count_taps for the element types read natively; false for the others,
// which the host counts.
bool count_nonzero_per_tap(const ArrayView& view, size_t taps, std::vector<uint64_t>& counts) {
    if (!view.valid() || !view.c_contiguous()) return false;
    const size_t size = static_cast<size_t>(view.itemsize());
    const size_t elements = size ? static_cast<size_t>(view.size_bytes()) / size : 0;
    const std::byte* data = view.data();
    auto masked = [&](auto mask) {
        using Bits = decltype(mask);
        count_taps<Bits>(data, elements, taps, [mask](Bits bits) { return (bits & mask) != 0; }, counts);
        return true;
    };
    switch (view.kind()) {
        case ElementKind::Float:
            if (size == 2) return masked(uint16_t{0x7fff});  // float16: every pattern but the two zeros
            if (size == 4) return count_taps<float>(data, elements, taps, [](float v) { return v != 0; }, counts), true;
            if (size == 8) return count_taps<double>(data, elements, taps, [](double v) { return v != 0; }, counts), true;
            return false;
        case ElementKind::Signed:
        case ElementKind::Unsigned:
        case ElementKind::Bool:
            if (size == 1) return masked(uint8_t{0xff});
            if (size == 2) return masked(uint16_t{0xffff});
            if (size == 4) return masked(uint32_t{0xffffffff});
            if (size == 8) return masked(~uint64_t{0});
            return false;
        case ElementKind::BFloat16: return masked(uint16_t{0x7fff});
        case ElementKind::Float8E4M3:
        case ElementKind::Float8E5M2: return masked(uint8_t{0x7f});
        case ElementKind::Int4:
        case ElementKind::UInt4: return masked(uint8_t{0x0f});
        default: return false;
    }
}

const Name names_key("names"), kinds_key("kinds"), neurons_key("neurons"), param_bits_key("param_bits"),
    weighted_key("weighted"), host_counts_key("host_counts");

// Every parameter array of the node's IR class at its stored bit width.
Wide parameter_bits(const NodeView& node, Memo& memo) {
    for (size_t c = 0; c < ir_class_count; ++c) {
        const IrClass cls = static_cast<IrClass>(c);
        if (!node.is_a(cls, cls, Lookup::IfDefined)) continue;
        Wide bits = 0;
        for (const FieldSpec& field : class_fields[c]) {
            if (field.kind != FieldKind::Array) continue;
            nb::object value = node.read_if_exists(field.field);
            if (!value.is_valid() || !PyArray_Check(value.ptr())) continue;
            PyArrayObject* array = reinterpret_cast<PyArrayObject*>(value.ptr());
            if (memo.is_number(PyArray_DESCR(array)))
                bits += Wide{PyArray_SIZE(array)} * memo.element_bits(PyArray_DESCR(array));
            else
                bits += Wide{PyArray_SIZE(array)} * PyArray_ITEMSIZE(array) * 8;
        }
        return bits;
    }
    return 0;
}

// A LIF layer's neurons: the elements of one sample of its port shape (after the batch dimension).
nb::object neurons_of(const std::optional<Shape>& input, const std::optional<Shape>& output) {
    const std::optional<Shape>& shape = output && !output->empty() ? output : input;
    if (!shape || shape->empty() || *std::min_element(shape->begin(), shape->end()) < 0) return none();
    Wide product = 1;
    for (size_t i = 1; i < shape->size(); ++i) {
        if (__builtin_mul_overflow(product, Wide{(*shape)[i]}, &product)) return none();
    }
    return wide_int(product);
}

nb::object sources_object(const std::shared_ptr<const Sources>& sources) {
    if (!sources) return none();
    nb::object tuple = own(PyTuple_New(static_cast<Py_ssize_t>(sources->size())));
    for (size_t i = 0; i < sources->size(); ++i)
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i),
                         own(PyTuple_Pack(2, integer((*sources)[i].first).ptr(), floating((*sources)[i].second).ptr()))
                             .release().ptr());
    return tuple;
}

// The Python text of an exception that a rule's read raised on a host node.
bool note_of_error(nb::python_error& error, std::string& note) {
    if (!error.matches(PyExc_AttributeError) && !error.matches(PyExc_TypeError)) return false;
    note = str_of(error.value());
    return true;
}

}  // namespace

nb::object figures(nb::handle graph) {
    GcPause no_collections;  // a few objects per node, on graphs of any size
    IrModule ir;
    GraphViews views(graph, ir);
    const size_t count = views.size();
    PortShapes shapes = port_shapes(views);
    std::vector<std::shared_ptr<const Sources>> sources = input_sources(views);
    Memo memo;

    nb::object names = own(PyList_New(static_cast<Py_ssize_t>(count))), kinds = own(PyList_New(static_cast<Py_ssize_t>(count)));
    nb::object neurons = own(PyList_New(static_cast<Py_ssize_t>(count))), param_bits = own(PyList_New(static_cast<Py_ssize_t>(count)));
    nb::object weighted = own(PyDict_New()), host_counts = own(PyList_New(0));
    nb::object zero = integer(0);
    std::vector<Stage> stages;
    std::vector<uint64_t> counts;
    for (size_t i = 0; i < count; ++i) {
        const NodeView& node = views.node(i);
        PyList_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), nb::borrow(views.names()[i]).release().ptr());
        PyList_SET_ITEM(kinds.ptr(), static_cast<Py_ssize_t>(i), node.type_name().release().ptr());
        nb::object layer_neurons = spike_role(node) == SpikeRole::Source ? neurons_of(shapes.input[i], shapes.output[i]) : zero;
        PyList_SET_ITEM(neurons.ptr(), static_cast<Py_ssize_t>(i), layer_neurons.release().ptr());
        PyList_SET_ITEM(param_bits.ptr(), static_cast<Py_ssize_t>(i), wide_int(parameter_bits(node, memo)).release().ptr());

        StageRule rule = stage_rule(node);
        if (!rule) continue;
        nb::object position = integer(static_cast<long long>(i));
        stages.clear();
        std::string note;
        const std::string name = str_of(views.names()[i]);
        try {
            rule(LayerInput{node, shapes.input[i], name, memo}, stages);
        } catch (Unknown& unknown) {
            note = std::move(unknown.reason);
        } catch (nb::python_error& error) {
            if (!note_of_error(error, note)) throw;
        }
        if (!note.empty()) {
            nb::object entry = own(PyTuple_New(10));
            for (Py_ssize_t k = 0; k < 10; ++k) PyTuple_SET_ITEM(entry.ptr(), k, none().release().ptr());
            PyTuple_SetItem(entry.ptr(), 8, text(note).release().ptr());
            set_item(weighted, position, entry);
            continue;
        }
        if (stages.empty()) continue;
        Wide synapses = 0, first = 0, outputs = 0, inputs = 0, fan_in = 0, fan_out = 0, nonzero = 0;
        int weight_bits = 0;
        for (const Stage& stage : stages) {
            synapses += stage.synapses;
            first += stage.reads_input ? stage.synapses : 0;
            outputs += stage.outputs, inputs += stage.inputs;
            fan_in = std::max(fan_in, stage.fan_in_max), fan_out = std::max(fan_out, stage.fan_out_max);
            PyArrayObject* array = reinterpret_cast<PyArrayObject*>(stage.weight.ptr());
            weight_bits = std::max(weight_bits, memo.element_bits(PyArray_DESCR(array)));
            const size_t taps = stage.per_tap.empty() ? 1 : stage.per_tap.size();
            counts.assign(taps, 0);
            ArrayView view(stage.weight);
            if (count_nonzero_per_tap(view, taps, counts)) {
                for (size_t t = 0; t < taps; ++t) nonzero += Wide{static_cast<long long>(counts[t])} * (stage.per_tap.empty() ? 1 : stage.per_tap[t]);
                continue;
            }
            nb::object per_tap = none();
            if (!stage.per_tap.empty()) {
                per_tap = own(PyTuple_New(static_cast<Py_ssize_t>(taps)));
                for (size_t t = 0; t < taps; ++t) PyTuple_SET_ITEM(per_tap.ptr(), static_cast<Py_ssize_t>(t), wide_int(stage.per_tap[t]).release().ptr());
            }
            append(host_counts, nb::make_tuple(position, stage.weight, per_tap));
        }
        nb::object entry = own(PyTuple_Pack(10, wide_int(synapses).ptr(), wide_int(first).ptr(), wide_int(outputs).ptr(),
                                            wide_int(inputs).ptr(), wide_int(fan_in).ptr(), wide_int(fan_out).ptr(),
                                            integer(weight_bits).ptr(), wide_int(nonzero).ptr(), text("").ptr(),
                                            sources_object(sources[i]).ptr()));
        set_item(weighted, position, entry);
    }
    nb::object result = own(PyDict_New());
    set_item(result, names_key, names);
    set_item(result, kinds_key, kinds);
    set_item(result, neurons_key, neurons);
    set_item(result, param_bits_key, param_bits);
    set_item(result, weighted_key, weighted);
    set_item(result, host_counts_key, host_counts);
    return result;
}

nb::object port_shapes_of(nb::handle graph) {
    GcPause no_collections;
    IrModule ir;
    GraphViews views(graph, ir);
    PortShapes shapes = port_shapes(views);
    nb::object by_name = own(PyDict_New());
    for (size_t i = 0; i < views.size(); ++i) {
        nb::object pair = own(PyTuple_Pack(2, shapes::shape_object(shapes.input[i]).ptr(),
                                           shapes::shape_object(shapes.output[i]).ptr()));
        check(PyDict_SetItem(by_name.ptr(), views.names()[i], pair.ptr()));
    }
    return by_name;
}

}  // namespace ondrel::deployment
