// A plain host class (base object only) whose methods are C functions.
//
// Each method is a method descriptor, the kind the host uses for the methods
// of its own classes: it binds like a Python method and takes its parameters
// from the text signature at the head of its docstring, so inspect.signature
// and help() see them.
#include "ir_interface/host_class.hpp"

namespace ondrel {

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
    auto descriptor = [&](const MethodDefinition& method) { return own(PyDescr_NewMethod(type, method.method)); };

    for (const MethodDefinition& method : methods)
        check(PyObject_SetAttrString(cls.ptr(), method.method->ml_name, descriptor(method).ptr()));
    nb::object property = builtins.attr("property");
    for (const MethodDefinition& method : getters) {
        nb::object getter = descriptor(method);
        nb::object read_only = property(getter, none(), none(), getter.attr("__doc__"));
        check(PyObject_SetAttrString(cls.ptr(), method.method->ml_name, read_only.ptr()));
    }
    module.attr(name) = cls;
    return cls;
}

}  // namespace ondrel
