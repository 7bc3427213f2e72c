#include "ir_interface/graph_walk.hpp"

#include <array>
#include <string>

namespace ondrel {

namespace {

const Name graph_name("Graph"), qualname_name("__qualname__"), module_name("__module__");

// Members of the IR layer's Graph class the services may stand in for.
enum Member { RxView, Validate, Inputs, Outputs, Members };
constexpr const char* member_names[Members] = {"_get_rx_graph", "validate", "inputs", "outputs"};

struct GraphOriginals {
    nb::object graph_class;
    nb::object module_dict;                 // ondrel.ir._graph's globals, which the members read
    std::array<nb::object, Members> entry;  // Graph.__dict__[name], when it is the IR layer's own
};

// The function a member is (a method) or reads through (a property), if it
// is the one defined in the IR layer's module under that name.
bool defined_there(nb::handle entry, const char* name) {
    static const Name fget_name("fget");
    nb::handle function = entry;
    nb::object getter;
    if (PyObject_TypeCheck(entry.ptr(), &PyProperty_Type)) {
        getter = attr(entry, fget_name);
        function = getter;
    }
    if (!PyFunction_Check(function.ptr())) return false;
    nb::object qualname = attr_if_exists(function, qualname_name), owner = attr_if_exists(function, module_name);
    return qualname.is_valid() && owner.is_valid() && str_of(qualname) == std::string("Graph.") + name &&
           str_of(owner) == "ondrel.ir._graph";
}

// Taken from the IR layer's own module the first time it is needed; a member
// that does not come from there (already replaced) leaves its check failing.
const GraphOriginals& graph_originals() {
    static const GraphOriginals originals = [] {
        GraphOriginals found;
        nb::object module = own(PyImport_ImportModule("ondrel.ir._graph"));
        found.graph_class = attr(module, graph_name);
        found.module_dict = nb::borrow(PyModule_GetDict(module.ptr()));
        PyObject* class_dict = reinterpret_cast<PyTypeObject*>(found.graph_class.ptr())->tp_dict;
        for (size_t i = 0; i < Members; ++i) {
            PyObject* defined = PyDict_GetItemString(class_dict, member_names[i]);  // borrowed
            if (defined && defined_there(defined, member_names[i])) found.entry[i] = nb::borrow(defined);
        }
        return found;
    }();
    return originals;
}

// `graph` is exactly ir.Graph and `member` is still the original on the
// class; a method must also not be shadowed on the instance (a property cannot be).
bool has_original(nb::handle graph, Member member) {
    const GraphOriginals& originals = graph_originals();
    const nb::object& original = originals.entry[member];
    if (!original.is_valid() || reinterpret_cast<PyObject*>(Py_TYPE(graph.ptr())) != originals.graph_class.ptr())
        return false;
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(originals.graph_class.ptr())->tp_dict;
    if (PyDict_GetItemString(class_dict, member_names[member]) != original.ptr()) return false;
    // nodes and edges are plain instance attributes, read without host code.
    if (PyDict_GetItemString(class_dict, "nodes") || PyDict_GetItemString(class_dict, "edges")) return false;
    if (!PyFunction_Check(original.ptr())) return true;
    PyObject** instance_dict = _PyObject_GetDictPtr(graph.ptr());
    if (!instance_dict || !*instance_dict) return true;
    return PyDict_GetItemString(*instance_dict, member_names[member]) == nullptr;
}

// The class the IR layer's module names `name` (what its members test
// against at call time), when it is the IR module's `cls` too (if given) and
// isinstance against it cannot run host code.
PyTypeObject* module_class(const char* name, const IrModule& ir, std::optional<IrClass> cls) {
    PyObject* found = PyDict_GetItemString(graph_originals().module_dict.ptr(), name);  // borrowed
    if (!found || !PyType_Check(found) || Py_TYPE(found) != &PyType_Type) return nullptr;
    if (cls && (!ir.defines(*cls) || found != ir.required(*cls).ptr())) return nullptr;
    return reinterpret_cast<PyTypeObject*>(found);
}

// graph.nodes when it is a plain dict of str names whose nodes' types decide
// isinstance (so testing them runs no host code); else invalid.
nb::object plain_nodes(nb::handle graph, const IrModule& ir) {
    static const Name nodes_name("nodes");
    nb::object nodes = attr(graph, nodes_name);
    if (!PyDict_CheckExact(nodes.ptr())) return nb::object();
    PyTypeObject* last_type = nullptr;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(nodes.ptr(), &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return nb::object();
        if (Py_TYPE(value) == last_type) continue;
        last_type = Py_TYPE(value);
        if (!ir.type_decides_isinstance(last_type)) return nb::object();
    }
    return nodes;
}

bool is_str(PyObject* value) { return PyUnicode_CheckExact(value); }

}  // namespace

void TextPositions::rehash(size_t expected) {
    size_t capacity = 8;
    while (capacity < 2 * expected) capacity *= 2;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    for (const Slot& slot : old)
        if (slot.text) slots_[slot_for(slot.text, slot.hash)] = slot;
}

// Linear probing: the slot holding an equal name, or the empty one where it would go.
size_t TextPositions::slot_for(PyObject* text, Py_hash_t hash) const {
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.text || slot.text == text || (slot.hash == hash && PyUnicode_Compare(slot.text, text) == 0))
            return i;
    }
}

uint32_t TextPositions::insert(PyObject* text, uint32_t position) {
    if (2 * (size_ + 1) > slots_.size()) rehash(size_ + 1);
    Py_hash_t hash = PyObject_Hash(text);  // cached for str
    Slot& slot = slots_[slot_for(text, hash)];
    if (slot.text) return slot.position;
    slot = {text, hash, position};
    ++size_;
    return position;
}

std::optional<uint32_t> TextPositions::find(PyObject* text) const {
    const Slot& slot = slots_[slot_for(text, PyObject_Hash(text))];
    if (!slot.text) return std::nullopt;
    return slot.position;
}

bool has_original_rx_view(nb::handle graph) { return has_original(graph, RxView); }

std::unique_ptr<ValidatedGraph> ValidatedGraph::read(nb::handle graph, const IrModule& ir) {
    static const Name edges_name("edges");
    if (!has_original(graph, Validate) || !has_original(graph, Inputs) || !has_original(graph, Outputs)) return nullptr;
    PyTypeObject* node_class = module_class("Node", ir, std::nullopt);
    auto read = std::make_unique<ValidatedGraph>();
    read->input_class_ = module_class("Input", ir, IrClass::Input);
    read->output_class_ = module_class("Output", ir, IrClass::Output);
    if (!node_class || !read->input_class_ || !read->output_class_) return nullptr;
    static const Name nodes_name("nodes");
    nb::object nodes = attr(graph, nodes_name);
    if (!PyDict_CheckExact(nodes.ptr())) return nullptr;
    size_t count = static_cast<size_t>(PyDict_GET_SIZE(nodes.ptr()));
    read->names_.reserve(count), read->nodes_held_.reserve(count), read->types_.reserve(count);
    read->next_positions_.reserve(count);
    read->positions_ = TextPositions(count);
    // What each node type is, decided once per type (plain types decide isinstance alone).
    struct Kind {
        bool node, input, output;
    };
    TypeMemo<Kind> kinds;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    for (uint32_t index = 0; PyDict_Next(nodes.ptr(), &position, &key, &value); ++index) {
        if (!PyUnicode_CheckExact(key)) return nullptr;
        PyTypeObject* type = Py_TYPE(value);
        Kind kind = kinds.find_or_decide(type, [&] {
            if (!ir.type_decides_isinstance(type) || !PyType_IsSubtype(type, node_class)) return Kind{false, false, false};
            return Kind{true, PyType_IsSubtype(type, read->input_class_) != 0,
                        PyType_IsSubtype(type, read->output_class_) != 0};
        });
        if (!kind.node) return nullptr;
        if (kind.input) read->inputs_.push_back(index);
        if (kind.output) read->outputs_.push_back(index);
        read->names_.push_back(nb::borrow(key)), read->nodes_held_.push_back(nb::borrow(value));
        read->types_.push_back(type);
        read->next_positions_.push_back(position);
        read->positions_.insert(key, index);
    }
    nb::object edges = attr(graph, edges_name);
    if (!PyList_CheckExact(edges.ptr())) return nullptr;
    Py_ssize_t edge_count = PyList_GET_SIZE(edges.ptr());
    read->edges_held_.reserve(edge_count), read->links_.reserve(edge_count);
    for (Py_ssize_t i = 0; i < edge_count; ++i) {
        PyObject* edge = PyList_GET_ITEM(edges.ptr(), i);
        PyObject *source, *destination;
        if (!exact_pair(edge, source, destination)) return nullptr;
        // Str ends hash and compare without host code; a miss or a self-loop is validate's to report.
        if (!is_str(source) || !is_str(destination)) return nullptr;
        std::optional<uint32_t> from = read->positions_.find(source), to = read->positions_.find(destination);
        if (!from || !to || *from == *to) return nullptr;
        read->edges_held_.push_back(
            {nb::borrow(edge), nb::borrow(source), nb::borrow(destination), PyTuple_CheckExact(edge) != 0});
        read->links_.emplace_back(*from, *to);
    }
    if (read->inputs_.empty() || read->outputs_.empty()) return nullptr;
    read->nodes_stamp_.emplace(nodes);
    read->graph_ = nb::borrow(graph), read->nodes_ = std::move(nodes), read->edges_ = std::move(edges);
    return read;
}

bool ValidatedGraph::still_describes(nb::handle graph, const IrModule& ir) const {
    static const Name nodes_name("nodes"), edges_name("edges");
    if (graph.ptr() != graph_.ptr() || !has_original(graph, Inputs) || !has_original(graph, Outputs)) return false;
    if (module_class("Input", ir, IrClass::Input) != input_class_ ||
        module_class("Output", ir, IrClass::Output) != output_class_)
        return false;
    // Plain instance attributes of an exact ir.Graph: read without host code.
    if (attr(graph, nodes_name).ptr() != nodes_.ptr() || attr(graph, edges_name).ptr() != edges_.ptr()) return false;
    if (nodes_stamp_->unchanged()) {
        // The same items; only a node's class could have been reassigned.
        for (size_t index = 0; index < nodes_held_.size(); ++index)
            if (Py_TYPE(nodes_held_[index].ptr()) != types_[index]) return false;
    } else {
        if (static_cast<size_t>(PyDict_GET_SIZE(nodes_.ptr())) != names_.size()) return false;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        for (size_t index = 0; PyDict_Next(nodes_.ptr(), &position, &key, &value); ++index) {
            if (key != names_[index].ptr() || value != nodes_held_[index].ptr() || Py_TYPE(value) != types_[index])
                return false;
        }
    }
    if (static_cast<size_t>(PyList_GET_SIZE(edges_.ptr())) != edges_held_.size()) return false;
    for (size_t i = 0; i < edges_held_.size(); ++i) {
        const Edge& held = edges_held_[i];
        PyObject* item = held.item.ptr();
        if (PyList_GET_ITEM(edges_.ptr(), i) != item) return false;
        if (held.tuple) continue;
        PyObject *source, *destination;
        if (!exact_pair(item, source, destination) || source != held.source.ptr() ||
            destination != held.destination.ptr())
            return false;
    }
    return true;
}

std::optional<uint32_t> ValidatedGraph::position_of(nb::handle name) const {
    if (!is_str(name.ptr())) return std::nullopt;
    return positions_.find(name.ptr());
}

std::optional<std::vector<size_t>> port_positions(nb::handle graph, const IrModule& ir, IrClass port_class) {
    bool inputs = port_class == IrClass::Input;
    if (!has_original(graph, inputs ? Inputs : Outputs)) return std::nullopt;
    PyTypeObject* cls = module_class(inputs ? "Input" : "Output", ir, port_class);
    if (!cls) return std::nullopt;
    nb::object nodes = plain_nodes(graph, ir);
    if (!nodes.is_valid()) return std::nullopt;
    std::vector<size_t> positions;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    for (size_t index = 0; PyDict_Next(nodes.ptr(), &position, &key, &value); ++index)
        if (PyType_IsSubtype(Py_TYPE(value), cls)) positions.push_back(index);
    return positions;
}

}  // namespace ondrel
