// What a model costs on spiking hardware, per node: neurons, synapses (exact
// at convolution borders), fan-in and fan-out, non-zero synapses, parameter
// bits, and which LIF layers' spikes reach each layer's input. Rates, energy
// and the records are the Python side's (ondrel.sdk.deployment).
#pragma once

#include "ir_interface/class_rules.hpp"
#include "ir_interface/graph_views.hpp"
#include "ir_interface/numpy_api.hpp"
#include "sdk/_shapes/shapes.hpp"

#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <string>
#include <vector>

namespace ondrel::deployment {

using shapes::Shape;
using Wide = __int128;  // figures are products of sizes a file may declare

// A figure that cannot be computed; its reason becomes the layer's note.
struct Unknown {
    std::string reason;
};

// Every node's input and output shape: the inferred one, else the declared
// one, else the one declared at the other end of its edge (a single
// predecessor's output, the first successor that declares its input).
struct PortShapes {
    std::vector<std::optional<Shape>> input, output;
};
PortShapes port_shapes(const GraphViews& graph);

// One weighted operation inside a layer (a separable or ghost convolution
// holds several).
struct Stage {
    nb::object weight;
    Wide synapses = 0;
    std::vector<Wide> per_tap;  // per kernel tap (ky, kx): the output positions it connects; empty for affine
    Wide fan_in_max = 0, fan_out_max = 0;
    Wide inputs = 0, outputs = 0;  // elements
    bool reads_input = true;       // else it reads another stage's (analog) output
};

// Axis figures, memoised per call: a large model repeats a few geometries.
struct AxisKey {
    long long size, kernel, stride, padding, dilation;
    bool operator==(const AxisKey&) const = default;
};
struct AxisFigures {
    long long out;
    std::vector<long long> per_tap;  // output positions where each tap lands inside the input
    long long most_in, most_out;     // most taps inside for one output; most (output, tap) pairs on one input
};

// What one call works out once and reads many times: axis figures, and the
// IR layer's facts of each dtype (ondrel.ir._dtypes: whether it holds
// numbers, its bits per element).
class Memo {
public:
    Memo();
    const AxisFigures& axis(const AxisKey& key);
    bool is_number(PyArray_Descr* dtype) { return facts(dtype).number; }
    int element_bits(PyArray_Descr* dtype) { return facts(dtype).bits; }

private:
    struct Hash {
        size_t operator()(const AxisKey& k) const;
    };
    struct DtypeFacts {
        nb::object dtype;
        bool number;
        int bits;
    };
    const DtypeFacts& facts(PyArray_Descr* dtype);
    std::unordered_map<AxisKey, AxisFigures, Hash> axes_;
    std::vector<DtypeFacts> dtypes_;
    nb::object is_number_, element_bits_;
};

// What a stage rule sees: the node, its input shape, its name for notes.
struct LayerInput {
    const NodeView& node;
    const std::optional<Shape>& input;
    std::string_view name;
    Memo& memo;
};
using StageRule = void (*)(const LayerInput& in, std::vector<Stage>& stages);
// The stages of the node's class, or null for a class without synapses.
StageRule stage_rule(const NodeView& node);

// How a node passes on the kind of its input.
enum class SpikeRole : uint8_t { Source, Passes, Stops };
SpikeRole spike_role(const NodeView& node);

void record_rules(nb::handle module);  // the tables' coverage, for the module's _NODE_RULES

// The LIF layers whose spikes reach a node's input, each with how many times
// (through merges): in first-occurrence order.
using Sources = std::vector<std::pair<uint32_t, double>>;
// Per node, the sources of its input, or null when its input is not only
// binary spikes (an analog input, a cycle, no input).
std::vector<std::shared_ptr<const Sources>> input_sources(const GraphViews& graph);

// _figures(graph) and _port_shapes(graph), for ondrel.sdk.deployment.
nb::object figures(nb::handle graph);
nb::object port_shapes_of(nb::handle graph);

// A Wide value in decimal, and as a Python int.
std::string wide_text(Wide value);
nb::object wide_int(Wide value);

}  // namespace ondrel::deployment
