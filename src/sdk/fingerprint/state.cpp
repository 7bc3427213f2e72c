#include "sdk/fingerprint/fingerprint.hpp"

namespace ondrel::fingerprint {

namespace {
// Created once at load and kept for the life of the process.
Dependencies* loaded_dependencies = nullptr;
PyObject* fingerprint_module = nullptr;  // borrowed: the module outlives every call
}  // namespace

const Dependencies& dependencies() { return *loaded_dependencies; }
nb::handle this_module() { return fingerprint_module; }

void load_module_state(nb::module_& module) {
    fingerprint_module = module.ptr();
    nb::module_ hashlib = nb::module_::import_("hashlib");
    nb::module_ json = nb::module_::import_("json");
    nb::module_ datetime = nb::module_::import_("datetime");
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::object fromlist = own(Py_BuildValue("(s)", "ir"));
    nb::object ondrel = own(PyImport_ImportModuleLevel("ondrel", nullptr, nullptr, fromlist.ptr(), 0));
    module.attr("hashlib") = hashlib;
    module.attr("json") = json;
    module.attr("datetime") = datetime.attr("datetime");  // the clock is read through this name
    module.attr("np") = numpy;
    module.attr("ir") = ondrel.attr("ir");

    nb::object sha256 = hashlib.attr("sha256");
    nb::object ndarray = numpy.attr("ndarray");
    // Bound to any array, numpy's tobytes is one C function; an array whose
    // tobytes is that function returns exactly its buffer's bytes.
    nb::object sample_tobytes = numpy.attr("empty")(0).attr("tobytes");
    if (!PyCFunction_Check(sample_tobytes.ptr())) raise(PyExc_ImportError, "numpy.ndarray.tobytes is not a C method");
    loaded_dependencies = new Dependencies{
        sha256,
        nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(sha256().ptr()))).release(),
        json.attr("dumps"),
        datetime.attr("timezone").attr("utc"),
        ndarray.release(),
        reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(sample_tobytes.ptr())),
    };
}

}  // namespace ondrel::fingerprint
