// The benchmark floor: each service's irreducible work on the benchmark's
// mixed graphs, written straight against the C API. The same attribute reads,
// the same records, the same hash stream; nothing else (no replaced-function
// checks, no host-code safety, exact node classes only). Not part of the SDK.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// ---- Small owning reference and errors.

struct Ref {
    PyObject* p = nullptr;
    Ref() = default;
    explicit Ref(PyObject* o) : p(o) {}
    Ref(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p(o.p) { o.p = nullptr; }
    Ref& operator=(Ref&& o) noexcept { std::swap(p, o.p); return *this; }
    ~Ref() { Py_XDECREF(p); }
    PyObject* get() const { return p; }
    PyObject* release() { PyObject* r = p; p = nullptr; return r; }
};

struct Failed {};
PyObject* must(PyObject* o) { if (!o) throw Failed{}; return o; }
void must(int status) { if (status < 0) throw Failed{}; }
[[noreturn]] void fail(const char* message) { PyErr_SetString(PyExc_NotImplementedError, message); throw Failed{}; }

PyObject* name(const char* text) { return PyUnicode_InternFromString(text); }

// The collector stays off while the records are built, as the services keep it.
struct GcPause {
    int was_enabled = PyGC_Disable();
    ~GcPause() { if (was_enabled) PyGC_Enable(); }
};

// Interned attribute names, made once.
struct Names {
    PyObject *nodes, *edges, *input_type, *output_type, *input, *output, *weight, *bias, *stride, *padding, *dilation,
        *groups, *kernel_size, *spike_mode, *weight_bits, *accumulator_bits, *tau, *r, *v_leak, *v_threshold,
        *skip_type, *kernel, *weight_shape, *tau_mean, *threshold, *dataclass_fields, *name_attr, *passthrough;
};
Names N;

PyObject* get(PyObject* object, PyObject* attribute) { return must(PyObject_GetAttr(object, attribute)); }

// ---- Node classes, resolved once per type per call.

enum Kind { Other, InputK, OutputK, Conv, SpikingAff, Lif, MaxPool, SkipK, Kinds };

struct ClassTable {
    PyObject* classes[Kinds] = {};  // borrowed from the caller's dict
    struct Entry { PyTypeObject* type; Kind kind; PyObject* type_name; };
    std::vector<Entry> seen;
    explicit ClassTable(PyObject* by_kind) {  // {"Input": cls, ...}
        static const char* keys[Kinds] = {"", "Input", "Output", "Conv2d", "SpikingAffine", "LIF", "MaxPool2d", "Skip"};
        for (int k = 1; k < Kinds; ++k) classes[k] = PyDict_GetItemString(by_kind, keys[k]);
    }
    const Entry& of(PyObject* node) {
        PyTypeObject* type = Py_TYPE(node);
        for (const Entry& e : seen) if (e.type == type) return e;
        Kind kind = Other;
        for (int k = 1; k < Kinds; ++k) if (reinterpret_cast<PyObject*>(type) == classes[k]) kind = Kind(k);
        if (kind == Other) fail("floor: node class outside the benchmark's mix");
        seen.push_back({type, kind, reinterpret_cast<PyHeapTypeObject*>(type)->ht_name});
        return seen.back();
    }
};

PyArrayObject* array_of(PyObject* value) {
    if (!PyArray_CheckExact(value)) fail("floor: expected an ndarray");
    return reinterpret_cast<PyArrayObject*>(value);
}

// ---- Records: fields set in field order on a bare instance, as the services do.

struct Record {
    PyTypeObject* type;
    std::vector<PyObject*> fields;
    explicit Record(PyObject* cls) : type(reinterpret_cast<PyTypeObject*>(cls)) {
        Ref keys(must(PyObject_GetAttr(cls, N.dataclass_fields)));
        Ref list(must(PySequence_List(keys.get())));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject* key = PyList_GET_ITEM(list.get(), i);
            Py_INCREF(key);
            PyUnicode_InternInPlace(&key);
            fields.push_back(key);
        }
    }
    ~Record() { for (PyObject* f : fields) Py_DECREF(f); }
    // Steals the values.
    PyObject* make(std::initializer_list<PyObject*> values) const {
        Ref empty(must(PyTuple_New(0)));
        Ref instance(must(type->tp_new(type, empty.get(), nullptr)));
        size_t i = 0;
        for (PyObject* v : values) {
            Ref value(must(v));
            must(PyObject_GenericSetAttr(instance.get(), fields[i++], value.get()));
        }
        return instance.release();
    }
};

// ---- Graph structure shared by analyze and lint.

struct StrHash { size_t operator()(PyObject* s) const { return static_cast<size_t>(PyObject_Hash(s)); } };
struct StrEq { bool operator()(PyObject* a, PyObject* b) const { return a == b || PyUnicode_Compare(a, b) == 0; } };
using Index = std::unordered_map<PyObject*, uint32_t, StrHash, StrEq>;

struct Topology {
    std::vector<uint32_t> sources, targets;
};

Topology edge_indices(PyObject* edges, const Index& index, bool check_self_loops) {
    Topology t;
    Py_ssize_t count = PyList_GET_SIZE(edges);
    t.sources.resize(count), t.targets.resize(count);
    for (Py_ssize_t e = 0; e < count; ++e) {
        PyObject* edge = PyList_GET_ITEM(edges, e);
        if (!PyTuple_CheckExact(edge) || PyTuple_GET_SIZE(edge) != 2) fail("floor: edge is not a pair");
        auto from = index.find(PyTuple_GET_ITEM(edge, 0)), to = index.find(PyTuple_GET_ITEM(edge, 1));
        if (from == index.end() || to == index.end()) fail("floor: dangling edge");
        if (check_self_loops && from->second == to->second) fail("floor: self-loop");
        t.sources[e] = from->second, t.targets[e] = to->second;
    }
    return t;
}

struct Csr {
    std::vector<uint32_t> start, next;
    Csr(size_t n, const std::vector<uint32_t>& from, const std::vector<uint32_t>& to) : start(n + 1, 0), next(from.size()) {
        for (uint32_t f : from) ++start[f + 1];
        for (size_t i = 0; i < n; ++i) start[i + 1] += start[i];
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (size_t e = 0; e < from.size(); ++e) next[fill[from[e]]++] = to[e];
    }
};

// (depth, width); depth -1 for a cyclic graph.
std::pair<long long, long long> depth_and_width(size_t n, const Topology& t) {
    Csr out(n, t.sources, t.targets);
    std::vector<uint32_t> in_degree(n, 0), level(n, 0), ready;
    for (uint32_t to : t.targets) ++in_degree[to];
    ready.reserve(n);
    for (size_t i = 0; i < n; ++i) if (!in_degree[i]) ready.push_back(uint32_t(i));
    std::vector<long long> per_level;
    for (size_t k = 0; k < ready.size(); ++k) {
        uint32_t v = ready[k];
        if (level[v] >= per_level.size()) per_level.resize(level[v] + 1, 0);
        ++per_level[level[v]];
        for (uint32_t s = out.start[v]; s < out.start[v + 1]; ++s) {
            uint32_t w = out.next[s];
            level[w] = std::max(level[w], level[v] + 1);
            if (--in_degree[w] == 0) ready.push_back(w);
        }
    }
    if (ready.size() != n) return {-1, -1};
    if (per_level.empty()) return {0, 0};
    return {static_cast<long long>(per_level.size()) - 1, *std::max_element(per_level.begin(), per_level.end())};
}

// ---- analyze_graph

// tuple(shape array), shared between nodes with equal small integer shapes.
struct Shapes {
    std::unordered_map<std::string, PyObject*> tuples;
    ~Shapes() { for (auto& [k, v] : tuples) Py_DECREF(v); }
    PyObject* of(PyObject* array_object) {  // new reference
        PyArrayObject* a = array_of(array_object);
        std::string key(PyArray_BYTES(a), PyArray_NBYTES(a));
        key.push_back(PyArray_DESCR(a)->type);
        auto [it, inserted] = tuples.try_emplace(std::move(key), nullptr);
        if (inserted) it->second = must(PySequence_Tuple(array_object));
        Py_INCREF(it->second);
        return it->second;
    }
};

PyObject* port_shape(PyObject* node, PyObject* port_attribute, PyObject* port, Shapes& shapes) {
    Ref ports(get(node, port_attribute));
    if (ports.get() == Py_None) return PyTuple_New(0);
    PyObject* shape = PyDict_GetItemWithError(ports.get(), port);
    if (!shape || shape == Py_None) return PyTuple_New(0);
    return shapes.of(shape);
}

template <typename T>
T pairwise_sum(const T* a, Py_ssize_t n) {
    if (n < 8) { T s = 0; for (Py_ssize_t i = 0; i < n; ++i) s += a[i]; return s; }
    if (n <= 128) {
        T r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k];
        Py_ssize_t i = 8;
        for (; i < n - (n % 8); i += 8) for (int k = 0; k < 8; ++k) r[k] += a[i + k];
        T s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s += a[i];
        return s;
    }
    Py_ssize_t half = n / 2; half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

PyObject* float32_mean(PyObject* array_object) {
    PyArrayObject* a = array_of(array_object);
    if (PyArray_TYPE(a) != NPY_FLOAT32) fail("floor: LIF arrays are float32");
    Py_ssize_t n = PyArray_SIZE(a);
    float sum = 0.0f + pairwise_sum(static_cast<const float*>(PyArray_DATA(a)), n);
    return PyFloat_FromDouble(static_cast<float>(static_cast<double>(sum) / static_cast<double>(n)));
}

struct Sizes { long long params = 0, bytes = 0; };
void count(PyObject* array_object, Sizes& s) {
    if (array_object == Py_None) return;
    PyArrayObject* a = array_of(array_object);
    s.params += PyArray_SIZE(a), s.bytes += PyArray_NBYTES(a);
}

PyObject* dims_tuple(PyArrayObject* a, int from = 0) {
    int nd = PyArray_NDIM(a);
    PyObject* t = must(PyTuple_New(nd - from));
    for (int i = from; i < nd; ++i) PyTuple_SET_ITEM(t, i - from, PyLong_FromSsize_t(PyArray_DIM(a, i)));
    return t;
}

long long last_dims(PyObject* shape, int from_end) {  // shape tuple of numpy ints
    Py_ssize_t n = PyTuple_GET_SIZE(shape);
    long long v = PyLong_AsLongLong(PyTuple_GET_ITEM(shape, n - from_end));
    if (v == -1 && PyErr_Occurred()) throw Failed{};
    return v;
}

void put(PyObject* dict, PyObject* key, PyObject* value) {
    Ref v(must(value));
    must(PyDict_SetItem(dict, key, v.get()));
}

PyObject* analyze(PyObject*, PyObject* args) {
    PyObject *graph, *classes, *layer_cls, *graph_cls;
    if (!PyArg_ParseTuple(args, "OOOO", &graph, &classes, &layer_cls, &graph_cls)) return nullptr;
    try {
        GcPause no_collections;
        ClassTable table(classes);
        Record layer_stats(layer_cls), graph_stats(graph_cls);
        Ref nodes(get(graph, N.nodes)), edges(get(graph, N.edges));
        Shapes shapes;
        Ref layers(must(PyList_New(0))), input_shapes(must(PyList_New(0))), output_shapes(must(PyList_New(0)));
        long long total_params = 0, total_bytes = 0, total_flops = 0, lif = 0, affine = 0, conv = 0;
        struct Slot { PyObject* type_name; long long count, bytes; };
        std::vector<Slot> slots;
        Index index;
        index.reserve(PyDict_GET_SIZE(nodes.get()));
        Py_ssize_t position = 0;
        PyObject *key, *node;
        while (PyDict_Next(nodes.get(), &position, &key, &node)) {
            index.emplace(key, uint32_t(index.size()));
            const ClassTable::Entry& cls = table.of(node);
            Ref in(must(port_shape(node, N.input_type, N.input, shapes)));
            Ref out(must(port_shape(node, N.output_type, N.output, shapes)));
            Sizes sizes;
            long long flops = 0;
            Ref config(must(PyDict_New()));
            switch (cls.kind) {
                case Conv: {
                    Ref w(get(node, N.weight)), b(get(node, N.bias));
                    count(w.get(), sizes), count(b.get(), sizes);
                    PyArrayObject* wa = array_of(w.get());
                    flops = 2;
                    for (int i = 0; i < 4; ++i) flops *= PyArray_DIM(wa, i);
                    flops *= last_dims(out.get(), 2) * last_dims(out.get(), 1);
                    put(config.get(), N.kernel, dims_tuple(wa, 2));
                    put(config.get(), N.stride, get(node, N.stride));
                    put(config.get(), N.padding, get(node, N.padding));
                    put(config.get(), N.groups, get(node, N.groups));
                    ++conv;
                    break;
                }
                case SpikingAff: {
                    Ref w(get(node, N.weight)), b(get(node, N.bias));
                    count(w.get(), sizes), count(b.get(), sizes);
                    PyArrayObject* wa = array_of(w.get());
                    flops = 2 * PyArray_SIZE(wa);
                    put(config.get(), N.weight_shape, dims_tuple(wa));
                    put(config.get(), N.spike_mode, get(node, N.spike_mode));
                    put(config.get(), N.weight_bits, get(node, N.weight_bits));
                    ++affine;
                    break;
                }
                case Lif: {
                    Ref tau(get(node, N.tau)), r(get(node, N.r)), leak(get(node, N.v_leak)), th(get(node, N.v_threshold));
                    count(tau.get(), sizes), count(r.get(), sizes), count(leak.get(), sizes), count(th.get(), sizes);
                    put(config.get(), N.tau_mean, float32_mean(tau.get()));
                    put(config.get(), N.threshold, float32_mean(th.get()));
                    ++lif;
                    break;
                }
                case MaxPool:
                    put(config.get(), N.kernel, get(node, N.kernel_size));
                    put(config.get(), N.stride, get(node, N.stride));
                    break;
                case SkipK:
                    put(config.get(), N.skip_type, get(node, N.skip_type));
                    break;
                case InputK:
                    Py_INCREF(in.get());
                    must(PyList_Append(input_shapes.get(), in.get()));
                    Py_DECREF(in.get());
                    break;
                case OutputK:
                    must(PyList_Append(output_shapes.get(), out.get()));
                    break;
                default: break;
            }
            Py_INCREF(key), Py_INCREF(cls.type_name);
            Ref layer(layer_stats.make({key, cls.type_name, PyLong_FromLongLong(sizes.params),
                                        PyLong_FromLongLong(sizes.bytes), in.release(), out.release(),
                                        PyLong_FromLongLong(flops), config.release()}));
            must(PyList_Append(layers.get(), layer.get()));
            total_params += sizes.params, total_bytes += sizes.bytes, total_flops += flops;
            auto slot = std::find_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.type_name == cls.type_name; });
            if (slot == slots.end()) slots.push_back({cls.type_name, 1, sizes.bytes});
            else ++slot->count, slot->bytes += sizes.bytes;
        }
        auto [depth, width] = depth_and_width(index.size(), edge_indices(edges.get(), index, false));
        Ref type_counts(must(PyDict_New())), memory(must(PyDict_New()));
        for (const Slot& s : slots) {
            put(type_counts.get(), s.type_name, PyLong_FromLongLong(s.count));
            put(memory.get(), s.type_name, PyLong_FromLongLong(s.bytes));
        }
        bool dag = depth >= 0;
        PyObject *d = dag ? PyLong_FromLongLong(depth) : Py_NewRef(Py_None), *w = dag ? PyLong_FromLongLong(width) : Py_NewRef(Py_None);
        return graph_stats.make({PyLong_FromLongLong(total_params), PyLong_FromLongLong(total_bytes),
                                 PyLong_FromLongLong(total_flops), PyLong_FromSsize_t(PyDict_GET_SIZE(nodes.get())),
                                 PyLong_FromSsize_t(PyList_GET_SIZE(edges.get())), d, w, PyBool_FromLong(dag),
                                 type_counts.release(), layers.release(), input_shapes.release(),
                                 output_shapes.release(), memory.release(), PyLong_FromLongLong(lif),
                                 PyLong_FromLongLong(affine), PyLong_FromLongLong(conv)});
    } catch (Failed&) {
        return nullptr;
    }
}

// ---- lint_graph

struct Range { double low, high; };
Range float32_range(PyObject* array_object) {
    PyArrayObject* a = array_of(array_object);
    if (PyArray_TYPE(a) != NPY_FLOAT32 || PyArray_SIZE(a) == 0) fail("floor: LIF arrays are float32");
    const float* v = static_cast<const float*>(PyArray_DATA(a));
    double low = v[0], high = v[0];
    for (Py_ssize_t i = 1; i < PyArray_SIZE(a); ++i) low = std::min<double>(low, v[i]), high = std::max<double>(high, v[i]);
    return {low, high};
}

std::string utf8(PyObject* s) {
    Py_ssize_t n;
    const char* c = PyUnicode_AsUTF8AndSize(s, &n);
    if (!c) throw Failed{};
    return std::string(c, n);
}

std::string two_decimals(double v) { char b[64]; std::snprintf(b, sizeof b, "%.2f", v); return b; }

std::string grouped(long long v) {
    std::string digits = std::to_string(v), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

struct Issue { const char* method; const char* code; std::string message; PyObject* node; const char* suggestion; };

PyObject* lint(PyObject*, PyObject* args) {
    PyObject *graph, *classes, *node_class, *result_cls;
    if (!PyArg_ParseTuple(args, "OOOO", &graph, &classes, &node_class, &result_cls)) return nullptr;
    try {
        GcPause no_collections;
        ClassTable table(classes);
        Ref nodes(get(graph, N.nodes)), edges(get(graph, N.edges));
        size_t n = PyDict_GET_SIZE(nodes.get());
        // validate: IR nodes, sound edges, an Input and an Output; the index serves the checks.
        Index index;
        index.reserve(n);
        std::vector<PyObject*> names, node_objects;
        std::vector<Kind> kinds;
        names.reserve(n), node_objects.reserve(n), kinds.reserve(n);
        Py_ssize_t position = 0;
        PyObject *key, *node;
        bool has_input = false, has_output = false;
        while (PyDict_Next(nodes.get(), &position, &key, &node)) {
            if (!PyObject_TypeCheck(node, reinterpret_cast<PyTypeObject*>(node_class))) fail("floor: not an IR node");
            index.emplace(key, uint32_t(index.size()));
            Kind kind = table.of(node).kind;
            has_input |= kind == InputK, has_output |= kind == OutputK;
            names.push_back(key), node_objects.push_back(node), kinds.push_back(kind);
        }
        Topology t = edge_indices(edges.get(), index, true);
        if (!has_input || !has_output) fail("floor: no Input or no Output");

        std::vector<Issue> issues;
        // Reachability, forward from the inputs and backward from the outputs.
        auto reach = [&](Kind seed, const std::vector<uint32_t>& from, const std::vector<uint32_t>& to) {
            Csr next(n, from, to);
            std::vector<char> seen(n, 0);
            std::vector<uint32_t> queue;
            queue.reserve(n);
            for (size_t i = 0; i < n; ++i) if (kinds[i] == seed) seen[i] = 1, queue.push_back(uint32_t(i));
            for (size_t k = 0; k < queue.size(); ++k)
                for (uint32_t s = next.start[queue[k]]; s < next.start[queue[k] + 1]; ++s)
                    if (!seen[next.next[s]]) seen[next.next[s]] = 1, queue.push_back(next.next[s]);
            return seen;
        };
        std::vector<char> from_input = reach(InputK, t.sources, t.targets), to_output = reach(OutputK, t.targets, t.sources);
        size_t output_count = 0;
        for (size_t i = 0; i < n; ++i) {
            output_count += kinds[i] == OutputK;
            if (!from_input[i])
                issues.push_back({"add_warning", "UNREACHABLE", "Node '" + utf8(names[i]) + "' is not reachable from any Input",
                                  names[i], "Remove dead node or connect it to the graph"});
            else if (!to_output[i])
                issues.push_back({"add_warning", "DEAD_END", "Node '" + utf8(names[i]) + "' does not reach any Output",
                                  names[i], "Remove dead node or connect it to an Output"});
        }
        if (output_count > 1) fail("floor: one Output expected");
        // Layer parameters, and the parameter total for the size check.
        long long total = 0;
        std::vector<uint32_t> incoming(n, 0);
        for (uint32_t to : t.targets) ++incoming[to];
        for (size_t i = 0; i < n; ++i) {
            PyObject* nd = node_objects[i];
            // The size check's total must fail as analyze_graph fails, which
            // reads every node's two port entries: the same reads here.
            for (auto [attribute, port] : {std::pair{N.input_type, N.input}, std::pair{N.output_type, N.output}}) {
                Ref ports(get(nd, attribute));
                if (ports.get() == Py_None) continue;
                if (!PyDict_CheckExact(ports.get())) fail("floor: port types are dicts");
                PyObject* entry = PyDict_GetItemWithError(ports.get(), port);
                if (entry && entry != Py_None && PyArray_NDIM(array_of(entry)) != 1) fail("floor: 1-d port shapes");
            }
            auto add_size = [&](PyObject* attribute) {
                Ref a(get(nd, attribute));
                if (a.get() != Py_None) total += PyArray_SIZE(array_of(a.get()));
                return a;
            };
            if (kinds[i] == Lif) {
                Ref tau(add_size(N.tau)), th(add_size(N.v_threshold));
                Ref r(add_size(N.r)), leak(add_size(N.v_leak));
                Range tr = float32_range(tau.get()), hr = float32_range(th.get());
                std::string q = "'" + utf8(names[i]) + "'";
                if (tr.low < 1.0)
                    issues.push_back({"add_warning", "LIF_LOW_TAU", "Node " + q + " has very low tau=" + two_decimals(tr.low) + " (< 1.0)",
                                      names[i], "Low tau means fast decay; check if intentional"});
                if (tr.high > 100)
                    issues.push_back({"add_warning", "LIF_HIGH_TAU", "Node " + q + " has very high tau=" + two_decimals(tr.high) + " (> 100)",
                                      names[i], "High tau means slow decay; may cause gradient issues"});
                if (hr.low <= 0)
                    issues.push_back({"add_error", "LIF_NONPOSITIVE_THRESHOLD", "Node " + q + " has non-positive threshold=" + two_decimals(hr.low),
                                      names[i], "LIF thresholds must be positive"});
                if (hr.high > 10)
                    issues.push_back({"add_info", "LIF_HIGH_THRESHOLD", "Node " + q + " has high threshold=" + two_decimals(hr.high),
                                      names[i], "High thresholds may reduce spike activity"});
            } else if (kinds[i] == SpikingAff || kinds[i] == Conv) {
                Ref w(add_size(N.weight)), b(add_size(N.bias));
                if (kinds[i] == SpikingAff) {
                    Ref bits(get(nd, N.weight_bits));
                    long long v = PyLong_AsLongLong(bits.get());
                    if (v < 4 || v > 16) fail("floor: weight bits out of the benchmark's range");
                }
            }
        }
        // Skip wiring.
        std::vector<Issue> skip_issues;
        for (size_t i = 0; i < n; ++i) {
            if (kinds[i] != SkipK) continue;
            Ref type(get(node_objects[i], N.skip_type));
            if (PyUnicode_Compare(type.get(), N.passthrough) != 0) fail("floor: passthrough skips only");
            if (incoming[i] != 1)
                issues.push_back({"add_warning", "SKIP_PASSTHROUGH_INPUTS", "Skip node '" + utf8(names[i]) + "' (passthrough) has " +
                                  std::to_string(incoming[i]) + " inputs (expected 1)", names[i],
                                  "Passthrough should have exactly one input"});
        }
        // Names.
        static const char* generic[] = {"node", "layer", "module"};
        static const char* reserved[] = {"input", "output", "lambda", "class", "def", "return", "for", "if"};
        for (size_t i = 0; i < n; ++i) {
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(names[i], &size);
            if (size > 6) continue;
            std::string_view v(text, size);
            for (const char* g : generic)
                if (v == g) issues.push_back({"add_info", "GENERIC_NAME", "Node has generic name: '" + std::string(v) + "'", names[i],
                                              "Use descriptive names (e.g., 'conv1', 'fc_hidden')"});
            for (const char* word : reserved)
                if (v == word) issues.push_back({"add_warning", "PYTHON_KEYWORD", "Node name '" + std::string(v) + "' is a Python keyword",
                                                 names[i], "May cause issues in code generation; consider renaming"});
        }
        // Size.
        if (total > 10'000'000)
            issues.push_back({"add_info", "LARGE_MODEL", "Graph has " + grouped(total) + " parameters (> 10M)", nullptr,
                              "Large models may require more FPGA resources"});
        if (total < 100 && total > 0)
            issues.push_back({"add_info", "SMALL_MODEL", "Graph has only " + std::to_string(total) + " parameters", nullptr,
                              "Very small model; verify this is intentional"});
        // Shapes.
        for (size_t i = 0; i < n; ++i) {
            if (kinds[i] == InputK || kinds[i] == OutputK) continue;
            Ref shape(get(node_objects[i], N.output_type));
            if (shape.get() == Py_None)
                issues.push_back({"add_warning", "MISSING_OUTPUT_SHAPE", "Node '" + utf8(names[i]) + "' has no output shape",
                                  names[i], "Output shapes should be inferred during export"});
        }
        Ref result(must(PyObject_CallNoArgs(result_cls)));
        for (const Issue& issue : issues) {
            Ref method(must(PyObject_GetAttrString(result.get(), issue.method)));
            Ref message(must(PyUnicode_FromStringAndSize(issue.message.data(), issue.message.size())));
            Ref kwargs(must(Py_BuildValue("{sOss}", "node", issue.node ? issue.node : Py_None, "suggestion", issue.suggestion)));
            Ref pos(must(Py_BuildValue("(sO)", issue.code, message.get())));
            Ref done(must(PyObject_Call(method.get(), pos.get(), kwargs.get())));
        }
        return result.release();
    } catch (Failed&) {
        return nullptr;
    }
}

// ---- compare_graphs

bool same_array(PyObject* x, PyObject* y) {
    PyArrayObject *a = array_of(x), *b = array_of(y);
    return PyArray_NDIM(a) == PyArray_NDIM(b) && PyArray_TYPE(a) == PyArray_TYPE(b) &&
           std::equal(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a), PyArray_DIMS(b)) &&
           std::memcmp(PyArray_DATA(a), PyArray_DATA(b), PyArray_NBYTES(a)) == 0;
}

bool same_ports(PyObject* a, PyObject* b) {
    if (a == Py_None || b == Py_None) return a == b;
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(a, &position, &key, &value)) {
        PyObject* other = PyDict_GetItemWithError(b, key);
        if (!other || !same_array(value, other)) return false;
    }
    return true;
}

// numpy's isclose verdict and the largest |a - b|, for two float32 arrays of one shape.
struct Closeness { bool match; double max_diff; };
Closeness float32_close(PyObject* x, PyObject* y, float atol, float rtol) {
    PyArrayObject *a = array_of(x), *b = array_of(y);
    if (PyArray_TYPE(a) != NPY_FLOAT32 || PyArray_TYPE(b) != NPY_FLOAT32 || PyArray_SIZE(a) != PyArray_SIZE(b))
        fail("floor: float32 weights of one shape expected");
    const float *p = static_cast<const float*>(PyArray_DATA(a)), *q = static_cast<const float*>(PyArray_DATA(b));
    bool close = true;
    float largest = 0;
    for (Py_ssize_t i = 0; i < PyArray_SIZE(a); ++i) {
        float d = std::fabs(p[i] - q[i]);
        close &= (d <= atol + rtol * std::fabs(q[i])) || p[i] == q[i];
        largest = std::max(largest, d);
    }
    return {close, largest};
}

PyObject* compare(PyObject*, PyObject* args) {
    PyObject *graph_a, *graph_b, *classes, *node_cls, *diff_cls;
    double atol, rtol;
    if (!PyArg_ParseTuple(args, "OOOOOdd", &graph_a, &graph_b, &classes, &node_cls, &diff_cls, &atol, &rtol)) return nullptr;
    try {
        GcPause no_collections;
        ClassTable table(classes);
        Record node_diff(node_cls), graph_diff(diff_cls);
        Ref nodes_a(get(graph_a, N.nodes)), nodes_b(get(graph_b, N.nodes));
        if (PyDict_GET_SIZE(nodes_a.get()) != PyDict_GET_SIZE(nodes_b.get())) fail("floor: same node names expected");
        struct Pair { PyObject *name, *a, *b; };
        std::vector<Pair> pairs;
        pairs.reserve(PyDict_GET_SIZE(nodes_a.get()));
        Py_ssize_t position = 0;
        PyObject *key, *node;
        while (PyDict_Next(nodes_a.get(), &position, &key, &node)) {
            PyObject* other = PyDict_GetItemWithError(nodes_b.get(), key);
            if (!other) fail("floor: same node names expected");
            pairs.push_back({key, node, other});
        }
        std::sort(pairs.begin(), pairs.end(), [](const Pair& x, const Pair& y) { return PyUnicode_Compare(x.name, y.name) < 0; });

        Ref modified(must(PyList_New(0))), unchanged(must(PyList_New(0))), diffs(must(PyList_New(0)));
        static PyObject *modified_status = name("modified"), *unchanged_status = name("unchanged");
        std::string summary_nodes;
        double largest = 0, sum = 0;
        size_t with_diff = 0;
        for (const Pair& pair : pairs) {
            const ClassTable::Entry& cls = table.of(pair.a);
            if (Py_TYPE(pair.b) != Py_TYPE(pair.a)) fail("floor: same classes expected");
            Ref changes(must(PyList_New(0)));
            std::vector<std::string> texts;
            {
                Ref ia(get(pair.a, N.input_type)), ib(get(pair.b, N.input_type));
                if (!same_ports(ia.get(), ib.get())) texts.push_back("input_type differs");
                Ref oa(get(pair.a, N.output_type)), ob(get(pair.b, N.output_type));
                if (!same_ports(oa.get(), ob.get())) texts.push_back("output_type differs");
            }
            PyObject* const* arrays = nullptr;
            PyObject* const* hyper = nullptr;
            int array_count = 0, hyper_count = 0;
            PyObject* weight_bias[] = {N.weight, N.bias};
            PyObject* lif_arrays[] = {N.tau, N.r, N.v_leak, N.v_threshold};
            PyObject* conv_hyper[] = {N.stride, N.padding};
            PyObject* spiking_hyper[] = {N.spike_mode, N.weight_bits};
            PyObject* pool_hyper[] = {N.kernel_size, N.stride};
            PyObject* skip_hyper[] = {N.skip_type};
            switch (cls.kind) {
                case Conv: arrays = weight_bias, array_count = 2, hyper = conv_hyper, hyper_count = 2; break;
                case SpikingAff: arrays = weight_bias, array_count = 2, hyper = spiking_hyper, hyper_count = 2; break;
                case Lif: arrays = lif_arrays, array_count = 4; break;
                case MaxPool: hyper = pool_hyper, hyper_count = 2; break;
                case SkipK: hyper = skip_hyper, hyper_count = 1; break;
                default: break;
            }
            Ref held[4][2];
            for (int i = 0; i < array_count; ++i) held[i][0] = Ref(get(pair.a, arrays[i])), held[i][1] = Ref(get(pair.b, arrays[i]));
            for (int i = 0; i < hyper_count; ++i) {
                Ref x(get(pair.a, hyper[i])), y(get(pair.b, hyper[i]));
                int differ = x.get() == y.get() ? 0 : PyObject_RichCompareBool(x.get(), y.get(), Py_NE);
                must(differ);
                if (differ) fail("floor: equal hyper-parameters expected");
            }
            double node_max = 0;
            for (int i = 0; i < array_count; ++i) {
                Closeness c = float32_close(held[i][0].get(), held[i][1].get(), float(atol), float(rtol));
                if (c.match) continue;
                char text[64];
                std::snprintf(text, sizeof text, ": max_diff=%.2e", c.max_diff);
                texts.push_back(utf8(arrays[i]) + text);
                if (std::isfinite(c.max_diff) && c.max_diff > node_max) node_max = c.max_diff;
            }
            for (const std::string& text : texts)
                must(PyList_Append(changes.get(), Ref(must(PyUnicode_FromStringAndSize(text.data(), text.size()))).get()));
            bool is_modified = !texts.empty();
            if (is_modified) {
                must(PyList_Append(modified.get(), pair.name));
                summary_nodes += "\n  " + utf8(pair.name) + ":";
                for (size_t i = 0; i < texts.size() && i < 3; ++i) summary_nodes += "\n    - " + texts[i];
                if (texts.size() > 3) summary_nodes += "\n    - ... and " + std::to_string(texts.size() - 3) + " more";
                if (node_max > 0) {
                    largest = with_diff ? std::max(largest, node_max) : node_max;
                    sum += node_max, ++with_diff;
                }
            } else {
                must(PyList_Append(unchanged.get(), pair.name));
            }
            Py_INCREF(pair.name);
            PyObject* status = is_modified ? modified_status : unchanged_status;
            Py_INCREF(status);
            Ref record(node_diff.make({pair.name, status, changes.release(),
                                       node_max > 0 ? PyFloat_FromDouble(node_max) : Py_NewRef(Py_None), Py_NewRef(Py_None)}));
            must(PyList_Append(diffs.get(), record.get()));
        }
        // Edges: equal lists of equal str pairs.
        Ref edges_a(get(graph_a, N.edges)), edges_b(get(graph_b, N.edges));
        if (PyList_GET_SIZE(edges_a.get()) != PyList_GET_SIZE(edges_b.get())) fail("floor: equal edges expected");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(edges_a.get()); ++i) {
            PyObject *x = PyList_GET_ITEM(edges_a.get(), i), *y = PyList_GET_ITEM(edges_b.get(), i);
            if (PyUnicode_Compare(PyTuple_GET_ITEM(x, 0), PyTuple_GET_ITEM(y, 0)) ||
                PyUnicode_Compare(PyTuple_GET_ITEM(x, 1), PyTuple_GET_ITEM(y, 1)))
                fail("floor: equal edges expected");
        }
        bool numerical = PyList_GET_SIZE(modified.get()) == 0;
        double mean = with_diff ? sum / double(with_diff) : 0.0;
        std::string summary;
        if (numerical) {
            summary = "\u2713 Graphs are identical";
        } else {
            summary = "\u2717 Graphs differ\n\nModified nodes: " + std::to_string(PyList_GET_SIZE(modified.get())) + summary_nodes;
            if (largest > 0) {
                char text[128];
                std::snprintf(text, sizeof text, "\n\nMax weight difference: %.2e\nMean weight difference: %.2e", largest, mean);
                summary += text;
            }
        }
        return graph_diff.make({PyBool_FromLong(numerical), Py_NewRef(Py_True), PyBool_FromLong(numerical), PyList_New(0),
                                PyList_New(0), modified.release(), unchanged.release(), PyList_New(0), PyList_New(0),
                                PyFloat_FromDouble(largest), PyFloat_FromDouble(mean), diffs.release(),
                                PyUnicode_FromStringAndSize(summary.data(), summary.size())});
    } catch (Failed&) {
        return nullptr;
    }
}

// ---- fingerprint_graph

class Hasher {
public:
    explicit Hasher(PyObject* sha256) : hasher_(must(PyObject_CallNoArgs(sha256))), update_(must(PyObject_GetAttrString(hasher_.get(), "update"))) {
        buffer_.reserve(capacity);
    }
    void piece(const void* data, size_t size) {
        if (buffer_.size() + size > capacity) flush();
        buffer_.append(static_cast<const char*>(data), size);
    }
    void piece(std::string_view text) { piece(text.data(), text.size()); }
    void text(PyObject* s) {
        Py_ssize_t n;
        const char* c = PyUnicode_AsUTF8AndSize(s, &n);
        if (!c) throw Failed{};
        piece(c, n);
    }
    void array(PyObject* value) {
        PyArrayObject* a = array_of(value);
        if (!PyArray_IS_C_CONTIGUOUS(a)) fail("floor: contiguous arrays expected");
        piece(PyArray_DATA(a), PyArray_NBYTES(a));
    }
    void flush() {
        if (buffer_.empty()) return;
        Ref view(must(PyMemoryView_FromMemory(buffer_.data(), buffer_.size(), PyBUF_READ)));
        Ref done(must(PyObject_CallOneArg(update_.get(), view.get())));
        buffer_.clear();
    }
    PyObject* hexdigest() {
        flush();
        return PyObject_CallMethod(hasher_.get(), "hexdigest", nullptr);
    }

private:
    static constexpr size_t capacity = 64 * 1024;
    Ref hasher_, update_;
    std::string buffer_;
};

// str() of an int, a str or a tuple of ints.
void plain_text(Hasher& h, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return h.text(value);
    char buffer[128];
    char* at = buffer;
    auto number = [&](PyObject* v) {
        if (!PyLong_CheckExact(v)) fail("floor: ints expected");
        at = std::to_chars(at, buffer + sizeof buffer, PyLong_AsLongLong(v)).ptr;
    };
    if (PyLong_CheckExact(value)) {
        number(value);
    } else if (PyTuple_CheckExact(value)) {
        *at++ = '(';
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
            if (i) *at++ = ',', *at++ = ' ';
            number(PyTuple_GET_ITEM(value, i));
        }
        if (PyTuple_GET_SIZE(value) == 1) *at++ = ',';
        *at++ = ')';
    } else {
        fail("floor: plain structure values expected");
    }
    h.piece(buffer, at - buffer);
}

void dims_text(Hasher& h, PyObject* array_object) {
    PyArrayObject* a = array_of(array_object);
    char buffer[128];
    char* at = buffer;
    *at++ = '(';
    for (int i = 0; i < PyArray_NDIM(a); ++i) {
        if (i) *at++ = ',', *at++ = ' ';
        at = std::to_chars(at, buffer + sizeof buffer, static_cast<long long>(PyArray_DIM(a, i))).ptr;
    }
    if (PyArray_NDIM(a) == 1) *at++ = ',';
    *at++ = ')';
    h.piece(buffer, at - buffer);
}

void port_arrays(Hasher& h, PyObject* node, PyObject* attribute) {
    Ref ports(get(node, attribute));
    if (ports.get() == Py_None || PyDict_GET_SIZE(ports.get()) == 0) return;
    if (PyDict_GET_SIZE(ports.get()) != 1) fail("floor: one port expected");
    Py_ssize_t position = 0;
    PyObject *key, *value;
    PyDict_Next(ports.get(), &position, &key, &value);
    h.array(value);
}

PyObject* fingerprint(PyObject*, PyObject* args) {
    PyObject *graph, *classes, *sha256;
    if (!PyArg_ParseTuple(args, "OOO", &graph, &classes, &sha256)) return nullptr;
    try {
        GcPause no_collections;
        ClassTable table(classes);
        Hasher h(sha256);
        Ref nodes(get(graph, N.nodes)), edges(get(graph, N.edges));
        std::vector<std::pair<PyObject*, PyObject*>> items;
        items.reserve(PyDict_GET_SIZE(nodes.get()));
        Py_ssize_t position = 0;
        PyObject *key, *node;
        while (PyDict_Next(nodes.get(), &position, &key, &node)) items.emplace_back(key, node);
        std::sort(items.begin(), items.end(), [](const auto& x, const auto& y) { return PyUnicode_Compare(x.first, y.first) < 0; });
        for (auto [name_object, nd] : items) {
            const ClassTable::Entry& cls = table.of(nd);
            h.text(name_object);
            h.text(cls.type_name);
            auto texts = [&](std::initializer_list<PyObject*> attributes) {
                for (PyObject* attribute : attributes) plain_text(h, Ref(get(nd, attribute)).get());
            };
            switch (cls.kind) {
                case InputK: case OutputK:
                    port_arrays(h, nd, N.input_type);
                    port_arrays(h, nd, N.output_type);
                    break;
                case Conv: {
                    texts({N.stride, N.padding, N.dilation, N.groups});
                    dims_text(h, Ref(get(nd, N.weight)).get());
                    break;
                }
                case SpikingAff:
                    dims_text(h, Ref(get(nd, N.weight)).get());
                    texts({N.spike_mode, N.weight_bits, N.accumulator_bits});
                    break;
                case Lif: dims_text(h, Ref(get(nd, N.tau)).get()); break;
                case MaxPool: texts({N.kernel_size, N.stride, N.padding}); break;
                case SkipK: texts({N.skip_type}); break;
                default: break;
            }
            // Weights: weight and bias of any node, then the LIF arrays.
            auto arrays = [&](std::initializer_list<PyObject*> attributes) {
                for (PyObject* attribute : attributes) {
                    Ref a(PyObject_GetAttr(nd, attribute));
                    if (!a.get()) { PyErr_Clear(); continue; }
                    if (a.get() != Py_None) h.array(a.get());
                }
            };
            if (cls.kind == Conv || cls.kind == SpikingAff) arrays({N.weight, N.bias});
            if (cls.kind == Lif) arrays({N.tau, N.r, N.v_leak, N.v_threshold});
        }
        // Edges in sorted order, each "source->destination".
        std::vector<std::pair<std::string_view, std::string_view>> labels;
        labels.reserve(PyList_GET_SIZE(edges.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(edges.get()); ++i) {
            PyObject* edge = PyList_GET_ITEM(edges.get(), i);
            Py_ssize_t ns, nd;
            const char* s = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(edge, 0), &ns);
            const char* d = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(edge, 1), &nd);
            if (!s || !d) throw Failed{};
            labels.emplace_back(std::string_view(s, ns), std::string_view(d, nd));
        }
        std::sort(labels.begin(), labels.end());  // UTF-8 byte order is code point order
        for (const auto& [s, d] : labels) h.piece(s), h.piece("->"), h.piece(d);
        return h.hexdigest();
    } catch (Failed&) {
        return nullptr;
    }
}

PyMethodDef methods[] = {
    {"analyze", analyze, METH_VARARGS, "analyze(graph, classes, LayerStats, GraphStats) -> GraphStats"},
    {"lint", lint, METH_VARARGS, "lint(graph, classes, Node, LintResult) -> LintResult"},
    {"compare", compare, METH_VARARGS, "compare(a, b, classes, NodeDiff, GraphDiff, atol, rtol) -> GraphDiff"},
    {"fingerprint", fingerprint, METH_VARARGS, "fingerprint(graph, classes, sha256) -> hex digest"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_floor", "Benchmark floor of the per-node services.", -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__floor() {
    import_array();
    N = Names{name("nodes"), name("edges"), name("input_type"), name("output_type"), name("input"), name("output"),
              name("weight"), name("bias"), name("stride"), name("padding"), name("dilation"), name("groups"),
              name("kernel_size"), name("spike_mode"), name("weight_bits"), name("accumulator_bits"), name("tau"),
              name("r"), name("v_leak"), name("v_threshold"), name("skip_type"), name("kernel"), name("weight_shape"),
              name("tau_mean"), name("threshold"), name("__dataclass_fields__"), name("__name__"), name("passthrough")};
    return PyModule_Create(&module);
}
