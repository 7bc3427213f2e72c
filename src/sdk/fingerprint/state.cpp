#include "sdk/fingerprint/fingerprint.hpp"

namespace ondrel::fingerprint {

State::State(nb::module_& m) : module(m) {
    nb::module_ hashlib = nb::module_::import_("hashlib");
    nb::module_ json = nb::module_::import_("json");
    nb::module_ datetime = nb::module_::import_("datetime");
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::object ir = import_ir();
    m.attr("hashlib") = hashlib;
    m.attr("json") = json;
    m.attr("datetime") = datetime.attr("datetime");  // the clock is read through this name
    m.attr("np") = numpy;
    m.attr("ir") = ir;

    sha256 = hashlib.attr("sha256");
    hash_type = reinterpret_cast<PyObject*>(Py_TYPE(sha256().ptr()));  // a type lives as long as its module
    json_dumps = json.attr("dumps");
    utc = datetime.attr("timezone").attr("utc");
    // Bound to any array, numpy's tobytes is one C function; an array whose
    // tobytes is that function returns exactly its buffer's bytes.
    nb::object sample_tobytes = numpy.attr("empty")(0).attr("tobytes");
    if (PyCFunction_Check(sample_tobytes.ptr()))
        ndarray_tobytes = reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(sample_tobytes.ptr()));
}

}  // namespace ondrel::fingerprint
