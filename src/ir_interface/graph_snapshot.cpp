#include "ir_interface/graph_snapshot.hpp"

#include "ir_interface/numpy_api.hpp"

#include <stdexcept>
#include <string>

namespace ondrel {

// With weights_of_every_class, classes without `weight` or `bias` fields get
// a slot for each after their fields.
constexpr std::array<Field, 2> probed{Field::weight, Field::bias};
constexpr auto probed_field_slots = [] {
    auto slots = field_slots;
    for (size_t cls = 0; cls < ir_class_count; ++cls) {
        int8_t next = static_cast<int8_t>(class_fields[cls].size());
        for (Field probe : probed)
            if (slots[cls][static_cast<size_t>(probe)] == no_slot) slots[cls][static_cast<size_t>(probe)] = next++;
    }
    return slots;
}();

// How one call reads the nodes of one class: its __name__, and per slot the
// field's key, kind and class value (the default an instance may lack).
struct ClassReading {
    enum class State : int8_t { Unseen, Plain, NotPlain } state = State::Unseen;
    nb::object name;
    std::vector<PyObject*> keys;
    std::vector<FieldKind> kinds;
    std::vector<uint8_t> probes;
    std::vector<nb::object> defaults;  // invalid where the classes hold none
    std::vector<std::pair<size_t, bool (*)(nb::handle)>> conditions;  // slot, condition
};

namespace {

const Name qualname_name("__qualname__"), module_name("__module__"), fget_name("fget"), mro_name("__mro__");
const Name class_attribute("__class__"), nodes_name("nodes"), edges_name("edges"), metadata_name("metadata");
const Name node_name("Node"), graph_name("Graph");

// Members of the IR layer's Graph the snapshot stands in for, with the helper
// validate() always calls.
enum Member { Validate, EdgesAreSound, Inputs, Outputs, RxView, Members };
constexpr const char* member_names[Members] = {"validate", "_edges_are_sound", "inputs", "outputs", "_get_rx_graph"};
const Name member_keys[Members] = {Name(member_names[0]), Name(member_names[1]), Name(member_names[2]),
                                   Name(member_names[3]), Name(member_names[4])};
constexpr bool is_method[Members] = {true, true, false, false, true};

// What the IR layer's modules define, taken the first time it is complete.
struct IrLayer {
    nb::object graph_class, graph_module;
    std::array<nb::object, Members> members;  // Graph.__dict__ entries
    nb::object node_class;
    std::array<nb::object, ir_class_count> classes;

    std::optional<IrClass> class_of(PyTypeObject* type) const {
        for (size_t i = 0; i < ir_class_count; ++i)
            if (reinterpret_cast<PyObject*>(type) == classes[i].ptr()) return static_cast<IrClass>(i);
        return std::nullopt;
    }
};

std::optional<IrLayer> capture() {
    IrLayer layer;
    layer.graph_module = own(PyImport_ImportModule("ondrel.ir._graph"));
    nb::object nodes_module = own(PyImport_ImportModule("ondrel.ir._nodes"));
    layer.graph_class = attr(layer.graph_module, graph_name);
    layer.node_class = attr(nodes_module, node_name);
    for (size_t i = 0; i < ir_class_count; ++i)
        layer.classes[i] = own(PyObject_GetAttrString(nodes_module.ptr(), ir_class_names[i]));
    if (!PyType_Check(layer.graph_class.ptr())) return std::nullopt;
    ClassDict graph_dict(reinterpret_cast<PyTypeObject*>(layer.graph_class.ptr()));
    for (size_t i = 0; i < Members; ++i) {
        // A member the IR layer's module defines under its name (a property through its getter), not a
        // replacement already in place.
        nb::object entry = graph_dict.item(member_keys[i]);
        nb::object function = entry.is_valid() && PyObject_TypeCheck(entry.ptr(), &PyProperty_Type)
                                  ? attr(entry, fget_name) : entry;
        if (!function.is_valid() || !PyFunction_Check(function.ptr()) ||
            str_of(attr(function, qualname_name)) != std::string("Graph.") + member_names[i] ||
            str_of(attr(function, module_name)) != "ondrel.ir._graph")
            return std::nullopt;
        layer.members[i] = std::move(entry);
    }
    return layer;
}

// Null until the IR layer's modules import and hold their own members; an
// error on the way is the general route's to meet.
const IrLayer* ir_layer() {
    static const IrLayer* layer = nullptr;  // kept for the process, as the modules are
    if (!layer) {
        try {
            if (std::optional<IrLayer> captured = capture()) layer = new IrLayer(std::move(*captured));
        } catch (nb::python_error&) {
            // discarded: the caller takes the general route
        }
    }
    return layer;
}

// A class whose attributes are read without host code: metaclass exactly
// `type`, the generic getattr, and exactly the bases given (then object).
bool plain_class(PyTypeObject* type, nb::handle base) {
    if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) return false;
    if (PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr)) return false;
    nb::object mro = attr(reinterpret_cast<PyObject*>(type), mro_name);
    Py_ssize_t expected = base.is_valid() ? 3 : 2;
    if (!PyTuple_CheckExact(mro.ptr()) || PyTuple_GET_SIZE(mro.ptr()) != expected) return false;
    if (PyTuple_GET_ITEM(mro.ptr(), 0) != reinterpret_cast<PyObject*>(type)) return false;
    if (base.is_valid() && PyTuple_GET_ITEM(mro.ptr(), 1) != base.ptr()) return false;
    return PyTuple_GET_ITEM(mro.ptr(), expected - 1) == reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

bool graph_class_unmodified(nb::handle graph, const IrLayer& layer) {
    auto* cls = reinterpret_cast<PyTypeObject*>(layer.graph_class.ptr());
    if (Py_TYPE(graph.ptr()) != cls || !plain_class(cls, nb::handle())) return false;
    ClassDict dict(cls);
    for (size_t i = 0; i < Members; ++i) {
        nb::object entry = dict.item(member_keys[i]);
        if (entry.ptr() != layer.members[i].ptr()) return false;
        if (!is_method[i]) continue;  // a property cannot be shadowed
        nb::object bound = attr(graph, member_keys[i]);
        if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_FUNCTION(bound.ptr()) != entry.ptr() ||
            PyMethod_GET_SELF(bound.ptr()) != graph.ptr())
            return false;
    }
    for (const Name* plain : {&nodes_name, &edges_name, &metadata_name})
        if (dict.item(*plain).is_valid()) return false;
    // The classes those members test against.
    PyObject* globals = PyModule_GetDict(layer.graph_module.ptr());  // borrowed
    auto global_is = [&](const char* name, nb::handle expected) {
        PyObject* found = PyDict_GetItemString(globals, name);  // borrowed; str keys cannot fail
        return found == expected.ptr();
    };
    return global_is("Node", layer.node_class) && global_is("Input", layer.classes[index_of(IrClass::Input)]) &&
           global_is("Output", layer.classes[index_of(IrClass::Output)]);
}

// The fields of a node class are read plainly: the class is plain, a direct
// subclass of Node, named as listed, and neither it nor Node holds a
// descriptor under a field name read, or a __class__ of its own (which
// isinstance would consult).
bool read_class(IrClass cls, const IrLayer& layer, const SnapshotNeeds& needs, ClassReading& reading) {
    bool probing = needs.weights_of_every_class;
    PyObject* object = layer.classes[index_of(cls)].ptr();
    if (!PyType_Check(object)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(object);
    if (!plain_class(type, layer.node_class)) return false;
    reading.name = class_name(type);
    if (!PyUnicode_CheckExact(reading.name.ptr()) ||
        PyUnicode_CompareWithASCIIString(reading.name.ptr(), ir_class_name(cls)) != 0)
        return false;
    ClassDict own_dict(type), node_dict(reinterpret_cast<PyTypeObject*>(layer.node_class.ptr()));
    auto add_slot = [&](Field field, FieldKind kind, bool probe) {
        const Name& key = field_key(field);
        nb::object found = own_dict.item(key);
        if (!found.is_valid()) found = node_dict.item(key);
        if (found.is_valid() && !is_plain_class_value(found)) return false;
        reading.keys.push_back(key.get()), reading.kinds.push_back(kind), reading.probes.push_back(probe);
        reading.defaults.push_back(std::move(found));
        return true;
    };
    for (const FieldSpec& entry : class_fields[index_of(cls)])
        if (!add_slot(entry.field, entry.kind, false)) return false;
    if (probing) {
        for (Field probe : probed)
            if (slot_of(cls, probe) == no_slot && !add_slot(probe, FieldKind::Array, true)) return false;
    }
    for (const ArrayCondition& condition : needs.arrays)
        if (condition.cls == cls) reading.conditions.emplace_back(slot_of(cls, condition.field), condition.holds);
    return !own_dict.item(class_attribute).is_valid() && !node_dict.item(class_attribute).is_valid();
}

// An exact int (or real: int or float), or an exact tuple or list of them.
bool ints(PyObject* value, bool reals = false) {
    auto item = [&](PyObject* item) { return PyLong_CheckExact(item) || (reals && PyFloat_CheckExact(item)); };
    if (item(value)) return true;
    if (!PyTuple_CheckExact(value) && !PyList_CheckExact(value)) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i)
        if (!item(PySequence_Fast_GET_ITEM(value, i))) return false;
    return true;
}

// An exact dict of exact str port names to 1-d integer ndarrays.
bool port_dict(PyObject* value) {
    if (!PyDict_CheckExact(value)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *shape;
    for (Py_ssize_t entry = 0; entry < PyDict_GET_SIZE(value); ++entry) {
        PyDict_Next(value, &position, &key, &shape);
        PyArrayObject* array = exact_ndarray(shape);
        if (!PyUnicode_CheckExact(key) || !array || PyArray_NDIM(array) != 1) return false;
        PyArray_Descr* descr = PyArray_DESCR(array);
        if ((descr->kind != 'i' && descr->kind != 'u') || descr->byteorder == '>') return false;
    }
    return true;
}

// `value` is of `kind` in exact builtin types; an array's numeric type is added to `array_types`.
bool admitted(FieldKind kind, PyObject* value, uint32_t& array_types) {
    using enum FieldKind;
    if (value == Py_None) return kind == Array || kind == Ports || kind == OptionalInts || kind == OptionalBool;
    switch (kind) {
        case Array: {
            PyArrayObject* array = exact_ndarray(value);
            std::optional<NumericType> type = array ? numeric_type_of(PyArray_DESCR(array)) : std::nullopt;
            if (type) array_types |= uint32_t{1} << static_cast<unsigned>(*type);
            return type.has_value();
        }
        case Ports: return port_dict(value);
        case Int: return PyLong_CheckExact(value);
        case Ints:
        case OptionalInts: return ints(value);
        case Reals: return ints(value, true);
        case Str: return PyUnicode_CheckExact(value);
        case Bool:
        case OptionalBool: return PyBool_Check(value);
    }
    return false;
}

}  // namespace

bool is_ir_layer_graph(nb::handle graph) {
    const IrLayer* layer = ir_layer();
    return layer && graph_class_unmodified(graph, *layer);
}

std::unique_ptr<GraphSnapshot> GraphSnapshot::read(nb::handle graph, const IrModule& ir, const SnapshotNeeds& needs) {
    const IrLayer* layer = ir_layer();
    if (!layer || !graph_class_unmodified(graph, *layer)) return nullptr;
    for (size_t i = 0; i < ir_class_count; ++i)
        if (ir.found(static_cast<IrClass>(i)).ptr() != layer->classes[i].ptr()) return nullptr;
    // Plain instance attributes of an exact ir.Graph: read without host code
    // (one it lacks is the general route's to report, in its order).
    nb::object nodes = attr_if_exists(graph, nodes_name), edges = attr_if_exists(graph, edges_name);
    if (!nodes.is_valid() || !edges.is_valid()) return nullptr;
    if (!PyDict_CheckExact(nodes.ptr()) || !PyList_CheckExact(edges.ptr())) return nullptr;

    std::unique_ptr<GraphSnapshot> snapshot(new GraphSnapshot());
    snapshot->owned_ = needs.owned;
    snapshot->probing_ = needs.weights_of_every_class;
    snapshot->nodes_dict_ = std::move(nodes);
    snapshot->edges_ = std::move(edges);
    PyObject* dict = snapshot->nodes_dict_.ptr();
    snapshot->nodes_.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
    snapshot->values_.reserve(8 * static_cast<size_t>(PyDict_GET_SIZE(dict)));
    std::array<ClassReading, ir_class_count> classes;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        std::optional<IrClass> cls = PyUnicode_CheckExact(key) ? layer->class_of(Py_TYPE(value)) : std::nullopt;
        if (!cls) return nullptr;
        ClassReading& reading = classes[index_of(*cls)];
        if (reading.state == ClassReading::State::Unseen) {
            bool plain = read_class(*cls, *layer, needs, reading);
            reading.state = plain ? ClassReading::State::Plain : ClassReading::State::NotPlain;
            snapshot->class_names_[index_of(*cls)] = reading.name;
        }
        if (reading.state != ClassReading::State::Plain) return nullptr;
        if (needs.owned) Py_INCREF(key), Py_INCREF(value);
        snapshot->nodes_.push_back({key, value, *cls, static_cast<uint32_t>(snapshot->values_.size())});
        if (!snapshot->read_fields(snapshot->nodes_.back(), reading, needs)) return nullptr;
    }
    PyObject* edge_list = snapshot->edges_.ptr();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(edge_list); ++i) {
        PyObject *source, *destination;
        if (!is_str_edge(PyList_GET_ITEM(edge_list, i), source, destination)) return nullptr;
    }
    return snapshot;
}

// Appends the node's values, slot by slot (null for one it lacks), borrowed:
// the node or its class holds them. On 3.10 every instance keeps its
// attributes in a dict of its own; one the IR layer made holds exactly the
// fields its __init__ set, in field order under the interned names, and is
// walked once (else looked up name by name, a name it lacks taking the class's
// value). From 3.11 on, instances keep them inline and asking for the dict
// would build one per node: through getattr.
static void read_values(PyObject* node, const ClassReading& reading, std::vector<PyObject*>& out) {
#if PY_VERSION_HEX < 0x030B0000
    nb::object instance = own(PyObject_GenericGetDict(node, nullptr));
    size_t fields = reading.keys.size(), first = out.size();
    while (fields > 0 && reading.probes[fields - 1]) --fields;
    if (static_cast<size_t>(PyDict_GET_SIZE(instance.ptr())) == fields) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (out.size() - first < fields && PyDict_Next(instance.ptr(), &position, &key, &value) &&
               key == reading.keys[out.size() - first])
            out.push_back(value);
        if (out.size() - first == fields) {
            for (size_t slot = fields; slot < reading.keys.size(); ++slot) out.push_back(reading.defaults[slot].ptr());
            return;
        }
        out.resize(first);
    }
    for (size_t slot = 0; slot < reading.keys.size(); ++slot) {
        PyObject* value = PyDict_GetItemWithError(instance.ptr(), reading.keys[slot]);
        if (!value && PyErr_Occurred()) throw nb::python_error();
        out.push_back(value ? value : reading.defaults[slot].ptr());
    }
#else
    for (PyObject* key : reading.keys) out.push_back(attr_if_exists(node, key).ptr());
#endif
}

bool GraphSnapshot::read_fields(const Node& node, const ClassReading& reading, const SnapshotNeeds& needs) {
    read_values(node.object, reading, values_);
    if (owned_)
        for (size_t slot = node.first_value; slot < values_.size(); ++slot) Py_XINCREF(values_[slot]);
    for (size_t slot = 0; slot < reading.keys.size(); ++slot) {
        PyObject* value = values_[node.first_value + slot];
        if (!value && !reading.probes[slot]) return false;  // deleted from the instance and its class
        if (value && !admitted(reading.kinds[slot], value, array_types_)) return false;
    }
    for (const auto& [slot, holds] : reading.conditions) {
        PyObject* array = values_[node.first_value + slot];
        if (array != Py_None && !holds(array)) return false;
    }
    return true;
}

GraphSnapshot::~GraphSnapshot() {
    if (!owned_) return;
    for (const Node& node : nodes_) Py_DECREF(node.name), Py_DECREF(node.object);
    for (PyObject* value : values_) Py_XDECREF(value);
}

nb::handle GraphSnapshot::value(size_t index, Field field) const {
    const Node& node = nodes_[index];
    int slot = (probing_ ? probed_field_slots : field_slots)[index_of(node.cls)][static_cast<size_t>(field)];
    if (slot == no_slot) throw std::logic_error(std::string("no field ") + field_name(field) + " read");
    return values_[node.first_value + static_cast<size_t>(slot)];
}

const std::optional<std::vector<Link>>& GraphSnapshot::links() const {
    if (!links_) {
        std::vector<PyObject*> names;
        names.reserve(nodes_.size());
        for (const Node& node : nodes_) names.push_back(node.name);
        links_.emplace(edge_positions(names, edges_));
    }
    return *links_;
}

std::vector<uint32_t> GraphSnapshot::positions_of(IrClass cls) const {
    std::vector<uint32_t> positions;
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].cls == cls) positions.push_back(static_cast<uint32_t>(i));
    return positions;
}

nb::object SnapshotNode::read(Field field) const {
    nb::handle value = graph_.value(index_, field);
    if (value.is_valid()) return nb::borrow(value);
    static_cast<void>(attr(object(), field_key(field)));  // the host's AttributeError for a missing probe
    return nb::borrow(value);
}

}  // namespace ondrel
