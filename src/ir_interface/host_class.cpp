// A plain host class (base object only) whose methods are C functions.
//
// Each method is a wrapper descriptor, the kind the host uses for its own
// slot methods: it binds like a Python method, keeps the docstring exactly as
// written, and reads its parameters from the text signature at the head of
// that docstring, so inspect.signature, help() and the stub generator all see
// them.
#include "ir_interface/host_class.hpp"

#include <deque>

namespace ondrel {

namespace {

// The descriptors point at their definitions for as long as the class lives,
// which is the life of the process.
std::deque<wrapperbase>* definitions = new std::deque<wrapperbase>;

PyObject* call_without_arguments(PyObject* self, PyObject* args, void* function) {
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != 0) {
        PyErr_Format(PyExc_TypeError, "expected 0 arguments, got %zd", given);
        return nullptr;
    }
    return reinterpret_cast<MethodDefinition::WithoutArguments>(function)(self);
}

PyObject* call_with_arguments(PyObject* self, PyObject* args, void* function, PyObject* kwargs) {
    return reinterpret_cast<MethodDefinition::WithArguments>(function)(self, args, kwargs);
}

nb::object method_descriptor(PyTypeObject* type, const MethodDefinition& method) {
    wrapperbase& definition = definitions->emplace_back();
    definition.name = method.name;
    definition.doc = method.doc;
    void* function;
    if (method.with_arguments) {
        definition.wrapper = reinterpret_cast<wrapperfunc>(reinterpret_cast<void (*)()>(call_with_arguments));
        definition.flags = PyWrapperFlag_KEYWORDS;
        function = reinterpret_cast<void*>(method.with_arguments);
    } else {
        definition.wrapper = call_without_arguments;
        function = reinterpret_cast<void*>(method.without_arguments);
    }
    return own(PyDescr_NewWrapper(type, &definition, function));
}

}  // namespace

nb::object define_host_class(nb::module_& module, const char* name, const char* constructor_signature,
                             const char* doc, const std::vector<MethodDefinition>& methods,
                             const std::vector<MethodDefinition>& getters) {
    nb::module_ builtins = nb::module_::import_("builtins");
    nb::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = name;
    // The class keeps the signature-headed text as its C-level doc, which is
    // where inspect finds the constructor's signature; __doc__ is then set to
    // the plain docstring.
    namespace_["__doc__"] = text(std::string(name) + constructor_signature + "\n--\n\n" + doc);
    nb::object cls = builtins.attr("type")(name, nb::make_tuple(builtins.attr("object")), namespace_);
    cls.attr("__doc__") = doc;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());

    for (const MethodDefinition& method : methods)
        check(PyObject_SetAttrString(cls.ptr(), method.name, method_descriptor(type, method).ptr()));
    nb::object property = builtins.attr("property");
    for (const MethodDefinition& method : getters) {
        nb::object getter = method_descriptor(type, method);
        nb::object descriptor = property(getter, none(), none(), getter.attr("__doc__"));
        check(PyObject_SetAttrString(cls.ptr(), method.name, descriptor.ptr()));
    }
    module.attr(name) = cls;
    return cls;
}

}  // namespace ondrel
