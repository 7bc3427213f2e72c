// Thin glue between the services' rules and the Python host: owned references,
// interned attribute names, attribute reads, argument checks and the few host
// behaviours (unpacking, exact integers, number formatting) that every service
// needs. Everything here throws nb::python_error with the host's exception set.
//
// Only the host's public C API is used. Where a version lacks the public
// spelling of something (PyType_GetName before 3.11, PyType_GetDict before
// 3.12, PyObject_GetOptionalAttr before 3.13), python.cpp takes a route
// built from older public calls; the build option ONDREL_HOST_FALLBACKS
// makes every version take those routes, and the sanitized CI build sets it.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ondrel {

namespace nb = nanobind;

// Takes ownership of a new reference returned by the C API; NULL means the
// call failed and left a Python exception set.
inline nb::object own(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// Throws the pending Python exception when a C API status signals failure.
inline void check(int status) {
    if (status < 0) throw nb::python_error();
}

[[noreturn]] void raise(PyObject* exception_type, const char* format, ...);

// An attribute or key name, interned on first use and kept for the life of
// the process, so repeated reads cost one pointer-keyed lookup.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* get() const {
        if (!interned_) {
            interned_ = PyUnicode_InternFromString(text_);
            if (!interned_) throw nb::python_error();
        }
        return interned_;
    }
    const char* text() const { return text_; }

private:
    const char* text_;
    mutable PyObject* interned_ = nullptr;
};

// Pauses the cyclic garbage collector for a scope. Calls that build one
// record per node would otherwise trigger full collections over every object
// they created so far, which makes them quadratic; the records form no cycles.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

// Counts one level of C recursion against the interpreter's recursion limit,
// so deeply nested input raises RecursionError instead of exhausting the stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Plain read: the attribute must exist (AttributeError otherwise).
inline nb::object attr(nb::handle obj, const Name& name) {
    return own(PyObject_GetAttr(obj.ptr(), name.get()));
}

// Optional read: an invalid (null) object when the attribute is missing; only
// AttributeError counts as missing, every other error propagates (hasattr's
// rule).
nb::object attr_if_exists(nb::handle obj, nb::handle name);
inline nb::object attr_if_exists(nb::handle obj, const Name& name) { return attr_if_exists(obj, nb::handle(name.get())); }

// hasattr(obj, name)
inline bool has_attr(nb::handle obj, const Name& name) { return attr_if_exists(obj, name).is_valid(); }

// `value` unless it is None (then an invalid object).
inline nb::object unless_none(nb::object value) { return value.is_valid() && value.is_none() ? nb::object() : value; }

inline nb::object none() { return nb::none(); }
inline nb::object boolean(bool value) { return nb::borrow(value ? Py_True : Py_False); }
inline nb::object integer(long long value) { return own(PyLong_FromLongLong(value)); }
inline nb::object floating(double value) { return own(PyFloat_FromDouble(value)); }
// A host string from text built by str_of/format_of (lone surrogates included).
inline nb::object text(std::string_view value) {
    return own(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "surrogatepass"));
}

// The last dotted part of type(obj)'s C-level name, for error messages.
const char* type_name(nb::handle obj);
// type.__name__, and type(obj).__name__
nb::object class_name(PyTypeObject* type);
inline nb::object type_name_object(nb::handle obj) { return class_name(Py_TYPE(obj.ptr())); }

// A class's own namespace (type.__dict__), read without running host code
// when the class's metaclass is exactly `type`.
class ClassDict {
public:
    explicit ClassDict(PyTypeObject* type);
    nb::object item(nb::handle name) const;  // invalid when the namespace lacks it
    nb::object item(const Name& name) const { return item(nb::handle(name.get())); }

private:
    nb::object mapping_;  // the dict itself, or its read-only proxy
};

// True when reading an attribute stored under `value` on a class runs no
// host code: the value is no descriptor (its type has no __get__).
bool is_plain_class_value(nb::handle value);

// obj.<name> = value
inline void set_attr(nb::handle obj, const Name& name, nb::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name.get(), value.ptr()));
}

// obj.method() with no arguments
inline nb::object call_method(nb::handle obj, const Name& method) {
    return own(PyObject_CallMethodNoArgs(obj.ptr(), method.get()));
}

// from <source> import <name>; with level 1, <source> is a sibling of
// `module` in its package (from .<source> import <name>). A missing name
// raises the host's ImportError, worded as the import statement words it.
nb::object from_import(nb::handle module, const char* source, const char* name, int level = 0);

// from ondrel import ir
nb::object import_ir();

// from <source> import <names...>, each bound in `module`'s namespace, as the
// module's set-up would read in Python.
void import_names(nb::handle module, const char* source, std::initializer_list<const char*> names);

// Looks a module-level function up at call time, so a function replaced on
// the module (a test double, a wrapper) is the one that runs.
nb::object module_function(nb::handle module, const Name& name);

// Arguments declared as a concrete type take exactly that type: no subclass,
// and None only where allowed. The message is the host's usual wording.
void require_exact_type(nb::handle value, PyTypeObject* type, const char* argument, bool none_allowed);
inline void require_str(nb::handle value, const char* argument, bool none_allowed = false) {
    require_exact_type(value, &PyUnicode_Type, argument, none_allowed);
}
inline void require_dict(nb::handle value, const char* argument, bool none_allowed = false) {
    require_exact_type(value, &PyDict_Type, argument, none_allowed);
}

// Truth value, raising what __bool__ raises.
inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    check(result);
    return result != 0;
}

// Unpacks an iterable into exactly `count` items, with the host's messages
// for too many or too few values.
std::vector<nb::object> unpack_exactly(nb::handle iterable, size_t count);

// Rich comparisons with the host's semantics.
bool equal(nb::handle a, nb::handle b);
bool not_equal(nb::handle a, nb::handle b);  // a != b, which need not be `not (a == b)`
bool less(nb::handle a, nb::handle b);
bool greater(nb::handle a, nb::handle b);

// len(value)
Py_ssize_t size_of(nb::handle value);

// Items of a tuple known to be one; a negative index counts from the end.
inline Py_ssize_t tuple_size(nb::handle tuple) { return PyTuple_GET_SIZE(tuple.ptr()); }
inline nb::handle tuple_item(nb::handle tuple, Py_ssize_t index) {
    return PyTuple_GET_ITEM(tuple.ptr(), index < 0 ? tuple_size(tuple) + index : index);
}

// sequence[start:]
nb::object slice_from(nb::handle sequence, Py_ssize_t start);

// int(value), kept as it is when it already is exactly an int.
inline nb::object as_int(nb::object value) {
    return PyLong_CheckExact(value.ptr()) ? value : own(PyNumber_Long(value.ptr()));
}

// list.append(item): directly for a plain list, through the method otherwise.
void append(nb::handle list, nb::handle item);

// dict[key] = value on a plain dict.
inline void set_item(nb::handle dict, nb::handle key, nb::handle value) {
    check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
}
inline void set_item(nb::handle dict, const Name& key, nb::handle value) {
    check(PyDict_SetItem(dict.ptr(), key.get(), value.ptr()));
}

// frozenset(texts), kept for the life of the process.
nb::handle frozen_text_set(std::initializer_list<const char*> texts);

// value in set (hash and equality, as the host tests membership)
inline bool set_contains(nb::handle set, nb::handle value) {
    int found = PySet_Contains(set.ptr(), value.ptr());
    check(found);
    return found != 0;
}

// mapping.get(key): None when the key is missing.
nb::object get_or_none(nb::handle mapping, const Name& key);

// for item in iterable: ... as a range of owned items; an error of the
// iteration is thrown when it happens.
class Iteration {
public:
    explicit Iteration(nb::handle iterable) : iterator_(own(PyObject_GetIter(iterable.ptr()))) {}

    class Position {
    public:
        explicit Position(PyObject* iterator) : iterator_(iterator) { advance(); }
        Position() = default;
        const nb::object& operator*() const { return item_; }
        Position& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const Position& other) const { return item_.ptr() != other.item_.ptr(); }

    private:
        void advance() {
            item_ = nb::steal(PyIter_Next(iterator_));
            if (!item_.is_valid() && PyErr_Occurred()) throw nb::python_error();
        }
        PyObject* iterator_ = nullptr;
        nb::object item_;
    };

    Position begin() const { return Position(iterator_.ptr()); }
    Position end() const { return Position(); }

private:
    nb::object iterator_;
};
inline Iteration iterate(nb::handle iterable) { return Iteration(iterable); }

// The UTF-8 bytes (strict: a lone surrogate raises UnicodeEncodeError) of a
// str, valid while the str lives.
std::string_view utf8_view(nb::handle text);

// KeyError(key), as a dict lookup raises it (a tuple key stays one argument).
[[noreturn]] void raise_key_error(nb::handle key);

// mapping[key]; a plain dict is read without the subscript dispatch.
inline nb::object item_of(nb::handle mapping, nb::handle key) {
    if (!PyDict_CheckExact(mapping.ptr())) return own(PyObject_GetItem(mapping.ptr(), key.ptr()));
    PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
    if (!value) {
        if (PyErr_Occurred()) throw nb::python_error();
        raise_key_error(key);
    }
    return nb::borrow(value);
}

// An exact tuple of two exact str; a plain list of nothing else. Such edges
// hash, compare and sort without host code.
inline bool is_str_pair(PyObject* edge) {
    return PyTuple_CheckExact(edge) && PyTuple_GET_SIZE(edge) == 2 && PyUnicode_CheckExact(PyTuple_GET_ITEM(edge, 0)) &&
           PyUnicode_CheckExact(PyTuple_GET_ITEM(edge, 1));
}
inline bool is_str_pair_list(nb::handle edges) {
    if (!PyList_CheckExact(edges.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(edges.ptr()); ++i)
        if (!is_str_pair(PyList_GET_ITEM(edges.ptr(), i))) return false;
    return true;
}

// sorted(iterable), as a new list the caller alone holds.
nb::object sorted_list(nb::handle iterable);

// Exact str (or a pair of them, by the first and then the second) and
// what they order, borrowed: sort_by_text puts them in the host's order for
// str and for tuples of str, without running host code.
struct TextOrdered {
    PyObject* first;
    PyObject* second;   // null when ordering by one str
    PyObject* payload;  // carried along
    std::string_view first_text = {}, second_text = {};
};
void sort_by_text(std::vector<TextOrdered>& entries);

// The keys of a plain dict whose keys are all exact str, in order, borrowed
// from it; nothing for any other mapping.
std::optional<std::vector<PyObject*>> str_keys(nb::handle mapping);

// str(value) and format(value, format_code) as UTF-8, for building host text
// (see text()).
std::string str_of(nb::handle value);
std::string format_of(nb::handle value, const char* format_code);

// Python's fixed and scientific float formats (".2f", ".2e"), including the
// host's spelling of infinities and NaN.
std::string format_double(double value, char style, int precision);

// An integer sum or product that stays a machine integer while it fits and
// becomes an exact host integer once it does not.
class ExactInt {
public:
    ExactInt() = default;
    explicit ExactInt(long long value) : small_(value) {}
    void add(nb::handle value);
    void add(const ExactInt& other);
    void multiply(nb::handle value);
    void multiply(long long value);
    nb::object object() const;
    bool is_small() const { return !big_.is_valid(); }
    long long small() const { return small_; }

private:
    void promote();
    long long small_ = 0;
    nb::object big_;
};

// int(prod(shape)): the exact element count of a shape (1 for an empty shape).
nb::object shape_product(nb::handle shape);

// float(value), raising what the conversion raises.
double to_double(nb::handle value);

}  // namespace ondrel
