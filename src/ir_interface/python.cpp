#include "ir_interface/python.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ondrel {

void raise(PyObject* exception_type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(exception_type, format, args);
    va_end(args);
    throw nb::python_error();
}

nb::object attr_if_exists(nb::handle obj, nb::handle name) {
    PyObject* value = nullptr;
#if defined(ONDREL_HOST_FALLBACKS)
    value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
    }
    return nb::steal(value);
#else
#if PY_VERSION_HEX >= 0x030D0000
    int found = PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &value);
#else
    // PyObject_GetOptionalAttr's name before 3.13, in those releases as they
    // stand (pythoncapi-compat's pythoncapi_compat.h maps it the same way).
    int found = _PyObject_LookupAttr(obj.ptr(), name.ptr(), &value);
#endif
    check(found);
    return found ? nb::steal(value) : nb::object();
#endif
}

const char* type_name(nb::handle obj) {
    const char* name = Py_TYPE(obj.ptr())->tp_name;
    const char* last_dot = std::strrchr(name, '.');
    return last_dot ? last_dot + 1 : name;
}

nb::object class_name(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000 && !defined(ONDREL_HOST_FALLBACKS)
    // What type's own __name__ returns; a metaclass may define another.
    if (Py_IS_TYPE(type, &PyType_Type)) return own(PyType_GetName(type));
#endif
    static const Name dunder_name("__name__");
    return attr(reinterpret_cast<PyObject*>(type), dunder_name);
}

ClassDict::ClassDict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(ONDREL_HOST_FALLBACKS)
    mapping_ = own(PyType_GetDict(type));
#else
    static const Name dunder_dict("__dict__");
    mapping_ = attr(reinterpret_cast<PyObject*>(type), dunder_dict);  // a mappingproxy
#endif
}

nb::object ClassDict::item(nb::handle name) const {
    if (PyDict_CheckExact(mapping_.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping_.ptr(), name.ptr());  // borrowed
        if (!value && PyErr_Occurred()) throw nb::python_error();
        return value ? nb::borrow(value) : nb::object();
    }
    int found = PySequence_Contains(mapping_.ptr(), name.ptr());
    check(found);
    return found ? own(PyObject_GetItem(mapping_.ptr(), name.ptr())) : nb::object();
}

bool is_plain_class_value(nb::handle value) { return PyType_GetSlot(Py_TYPE(value.ptr()), Py_tp_descr_get) == nullptr; }

nb::object module_function(nb::handle module, const Name& name) { return attr(module, name); }

nb::object from_import(nb::handle module, const char* source, const char* name, int level) {
    nb::object fromlist = own(Py_BuildValue("(s)", name));
    PyObject* globals = level > 0 ? PyModule_GetDict(module.ptr()) : nullptr;  // borrowed
    nb::object imported = own(PyImport_ImportModuleLevel(source, globals, nullptr, fromlist.ptr(), level));
    nb::object key = own(PyUnicode_FromString(name));
    if (nb::object value = attr_if_exists(imported, key); value.is_valid()) return value;
    static const Name dunder_name("__name__"), dunder_file("__file__");
    nb::object module_name = attr(imported, dunder_name);
    nb::object file = attr_if_exists(imported, dunder_file);
    if (file.is_valid() && PyUnicode_Check(file.ptr()))
        raise(PyExc_ImportError, "cannot import name %R from %R (%S)", key.ptr(), module_name.ptr(), file.ptr());
    raise(PyExc_ImportError, "cannot import name %R from %R (unknown location)", key.ptr(), module_name.ptr());
}

nb::object import_ir() { return from_import(nb::handle(), "ondrel", "ir"); }

void import_names(nb::handle module, const char* source, std::initializer_list<const char*> names) {
    for (const char* name : names) check(PyObject_SetAttrString(module.ptr(), name, from_import(module, source, name).ptr()));
}

void require_exact_type(nb::handle value, PyTypeObject* type, const char* argument, bool none_allowed) {
    if (Py_TYPE(value.ptr()) == type) return;
    if (none_allowed && value.is_none()) return;
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
          type->tp_name, Py_TYPE(value.ptr())->tp_name);
}

std::vector<nb::object> unpack_exactly(nb::handle iterable, size_t count) {
    PyObject* iterator = PyObject_GetIter(iterable.ptr());
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(iterable.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object owner = nb::steal(iterator);
    std::vector<nb::object> items;
    items.reserve(count);
    while (items.size() <= count) {
        PyObject* item = PyIter_Next(iterator);
        if (!item) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        items.push_back(nb::steal(item));
    }
    if (items.size() > count) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)count);
    if (items.size() < count) {
        raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", (Py_ssize_t)items.size(),
              items.size() == 1 ? "" : "s");
    }
    return items;
}

static bool compare(nb::handle a, nb::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    check(result);
    return result != 0;
}
bool equal(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }
bool not_equal(nb::handle a, nb::handle b) { return compare(a, b, Py_NE); }
bool less(nb::handle a, nb::handle b) { return compare(a, b, Py_LT); }
bool greater(nb::handle a, nb::handle b) { return compare(a, b, Py_GT); }

Py_ssize_t size_of(nb::handle value) {
    Py_ssize_t size = PyObject_Size(value.ptr());
    if (size < 0) throw nb::python_error();
    return size;
}

nb::handle frozen_text_set(std::initializer_list<const char*> texts) {
    nb::object set = own(PyFrozenSet_New(nullptr));
    for (const char* item : texts) check(PySet_Add(set.ptr(), text(item).ptr()));
    return set.release();
}

nb::object get_or_none(nb::handle mapping, const Name& key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.get());
        if (!value && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(value ? value : Py_None);
    }
    static const Name get_name("get");
    return own(PyObject_CallMethodOneArg(mapping.ptr(), get_name.get(), key.get()));
}

nb::object slice_from(nb::handle sequence, Py_ssize_t start) {
    nb::object first = own(PyLong_FromSsize_t(start));
    nb::object slice = own(PySlice_New(first.ptr(), nullptr, nullptr));
    return own(PyObject_GetItem(sequence.ptr(), slice.ptr()));
}

void append(nb::handle list, nb::handle item) {
    if (PyList_CheckExact(list.ptr())) {
        check(PyList_Append(list.ptr(), item.ptr()));
        return;
    }
    static const Name append_name("append");
    own(PyObject_CallMethodOneArg(list.ptr(), append_name.get(), item.ptr()));
}

std::string_view utf8_view(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

// Host strings may hold lone surrogates (names read back from files keep
// them). Text built for messages carries them through as their three-byte
// forms and becomes the same host string again in text().
static std::string utf8_of(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) return std::string(data, static_cast<size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object encoded = own(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

nb::object sorted_list(nb::handle iterable) {
    nb::object list = own(PySequence_List(iterable.ptr()));
    check(PyList_Sort(list.ptr()));
    return list;
}

void raise_key_error(nb::handle key) {
    nb::object argument = own(PyTuple_Pack(1, key.ptr()));
    PyErr_SetObject(PyExc_KeyError, argument.ptr());
    throw nb::python_error();
}

void sort_by_text(std::vector<TextOrdered>& entries) {
    // UTF-8 byte order is code point order; keys that do not encode (lone
    // surrogates) are compared as str instead.
    auto encode = [](PyObject* text, std::string_view& bytes) {
        if (!text) return true;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (!data) return PyErr_Clear(), false;
        bytes = std::string_view(data, static_cast<size_t>(size));
        return true;
    };
    bool encoded = std::all_of(entries.begin(), entries.end(), [&](TextOrdered& entry) {
        return encode(entry.first, entry.first_text) && encode(entry.second, entry.second_text);
    });
    if (encoded) {
        std::stable_sort(entries.begin(), entries.end(), [](const TextOrdered& a, const TextOrdered& b) {
            return a.first_text != b.first_text ? a.first_text < b.first_text : a.second_text < b.second_text;
        });
        return;
    }
    auto order = [](PyObject* a, PyObject* b) { return a == b ? 0 : PyUnicode_Compare(a, b); };
    std::stable_sort(entries.begin(), entries.end(), [&](const TextOrdered& a, const TextOrdered& b) {
        int first = order(a.first, b.first);
        if (first != 0 || !a.second) return first < 0;
        return order(a.second, b.second) < 0;
    });
}

std::optional<std::vector<PyObject*>> str_keys(nb::handle mapping) {
    if (!PyDict_CheckExact(mapping.ptr())) return std::nullopt;
    std::vector<PyObject*> keys;
    keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(mapping.ptr())));
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return std::nullopt;
        keys.push_back(key);
    }
    return keys;
}

std::string str_of(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return utf8_of(value);
    return utf8_of(own(PyObject_Str(value.ptr())));
}

std::string format_of(nb::handle value, const char* format_code) {
    nb::object code = own(PyUnicode_FromString(format_code));
    return utf8_of(own(PyObject_Format(value.ptr(), code.ptr())));
}

std::string format_double(double value, char style, int precision) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char format[8];
    std::snprintf(format, sizeof format, "%%.%d%c", precision, style);
    char buffer[512];
    int length = std::snprintf(buffer, sizeof buffer, format, value);
    if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) {
        // Only huge fixed-point values get here; the host formats them exactly.
        nb::object number = floating(value);
        char code[8];
        std::snprintf(code, sizeof code, ".%d%c", precision, style);
        return format_of(number, code);
    }
    return std::string(buffer, static_cast<size_t>(length));
}

void ExactInt::promote() {
    if (!big_.is_valid()) big_ = integer(small_);
}

// The value as a machine integer when it is an exact host int that fits.
static bool as_small_int(nb::handle value, long long& out) {
    if (!PyLong_CheckExact(value.ptr())) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (out == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow == 0;
}

void ExactInt::add(nb::handle value) {
    long long small_value;
    if (is_small() && as_small_int(value, small_value) &&
        !__builtin_add_overflow(small_, small_value, &small_value)) {
        small_ = small_value;
        return;
    }
    promote();
    big_ = own(PyNumber_Add(big_.ptr(), value.ptr()));
}

void ExactInt::add(const ExactInt& other) {
    if (other.is_small()) {
        long long sum;
        if (is_small() && !__builtin_add_overflow(small_, other.small_, &sum)) {
            small_ = sum;
            return;
        }
        promote();
        nb::object other_value = integer(other.small_);
        big_ = own(PyNumber_Add(big_.ptr(), other_value.ptr()));
        return;
    }
    promote();
    big_ = own(PyNumber_Add(big_.ptr(), other.big_.ptr()));
}

void ExactInt::multiply(long long value) {
    long long product;
    if (is_small() && !__builtin_mul_overflow(small_, value, &product)) {
        small_ = product;
        return;
    }
    promote();
    nb::object factor = integer(value);
    big_ = own(PyNumber_Multiply(big_.ptr(), factor.ptr()));
}

void ExactInt::multiply(nb::handle value) {
    // Integers of any kind (numpy's included) multiply exactly; anything else
    // takes the host's multiplication.
    nb::object factor;
    if (PyLong_CheckExact(value.ptr())) {
        factor = nb::borrow(value);
    } else if (PyIndex_Check(value.ptr())) {
        factor = own(PyNumber_Index(value.ptr()));
    } else {
        promote();
        big_ = own(PyNumber_Multiply(big_.ptr(), value.ptr()));
        return;
    }
    long long small_value;
    if (as_small_int(factor, small_value)) {
        multiply(small_value);
        return;
    }
    promote();
    big_ = own(PyNumber_Multiply(big_.ptr(), factor.ptr()));
}

nb::object ExactInt::object() const { return is_small() ? integer(small_) : big_; }

nb::object shape_product(nb::handle shape) {
    ExactInt product(1);
    if (PyTuple_CheckExact(shape.ptr())) {
        for (Py_ssize_t i = 0; i < tuple_size(shape); ++i) product.multiply(tuple_item(shape, i));
    } else {
        for (const nb::object& dim : iterate(shape)) product.multiply(dim);
    }
    return as_int(product.object());
}

double to_double(nb::handle value) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

}  // namespace ondrel
