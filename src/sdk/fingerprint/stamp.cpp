// Provenance stamps: a new graph whose metadata records the fingerprints, the
// SDK versions and the stamping time, and reading that record back.
#include "sdk/fingerprint/fingerprint.hpp"

#include <array>
#include <utility>

namespace ondrel::fingerprint {

namespace {

using namespace nb::literals;

const Name metadata_name("metadata"), nodes_name("nodes"), edges_name("edges"), provenance_key("provenance");
const Name fingerprint_graph_dual_name("fingerprint_graph_dual"), ir_name("ir"), graph_class_name("Graph");
const Name datetime_name("datetime"), now_name("now"), replace_name("replace"), isoformat_name("isoformat");
const Name zulu("Z");
const Name sdk_versions_key("sdk_versions"), timestamp_key("timestamp");
const Name fingerprint_structure_key("fingerprint_structure"), fingerprint_full_key("fingerprint_full");
const Name notes_key("notes"), git_commit_key("git_commit"), training_run_id_key("training_run_id");
const Name calibration_config_key("calibration_config"), quantization_config_key("quantization_config");

// The current UTC time as a naive date-time in isoformat, then "Z". The clock
// is the module's `datetime`, looked up at each call.
nb::object utc_timestamp() {
    nb::object clock = attr(state().module, datetime_name);
    nb::object now = call(attr(clock, now_name), {state().utc});
    nb::object naive = attr(now, replace_name)("tzinfo"_a = nb::none());
    nb::object text = call_method(naive, isoformat_name);
    return own(PyUnicode_Concat(text.ptr(), zulu.get()));
}

// {**metadata}: a copy of a dict, dict() of any other mapping.
nb::object metadata_copy(nb::handle metadata) {
    if (metadata.is_none()) raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    if (PyDict_CheckExact(metadata.ptr())) return own(PyDict_Copy(metadata.ptr()));
    return own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), metadata.ptr()));
}

}  // namespace

nb::object stamp_graph(nb::handle graph, nb::handle notes, nb::handle git_commit, nb::handle training_run_id,
                       nb::handle calibration_config, nb::handle quantization_config) {
    require_str(notes, "notes", true);
    require_str(git_commit, "git_commit", true);
    require_str(training_run_id, "training_run_id", true);
    require_dict(calibration_config, "calibration_config", true);
    require_dict(quantization_config, "quantization_config", true);

    nb::object get_versions = from_import(state().module, "version", "get_versions", 1);
    nb::object fingerprints =
        module_function(state().module, fingerprint_graph_dual_name)(graph, "include_metadata"_a = false);
    std::vector<nb::object> structure_and_full = unpack_exactly(fingerprints, 2);

    nb::object provenance = own(PyDict_New());
    set_item(provenance, sdk_versions_key, call(get_versions, {}));
    set_item(provenance, timestamp_key, utc_timestamp());
    set_item(provenance, fingerprint_structure_key, structure_and_full[0]);
    set_item(provenance, fingerprint_full_key, structure_and_full[1]);
    const std::array<std::pair<const Name*, nb::handle>, 5> optional_entries{{
        {&notes_key, notes},
        {&git_commit_key, git_commit},
        {&training_run_id_key, training_run_id},
        {&calibration_config_key, calibration_config},
        {&quantization_config_key, quantization_config},
    }};
    for (const auto& [key, value] : optional_entries)
        if (truthy(value)) set_item(provenance, *key, value);

    // An existing "provenance" entry keeps its place; the input graph's own
    // metadata is never written.
    nb::object new_metadata = metadata_copy(attr(graph, metadata_name));
    set_item(new_metadata, provenance_key, provenance);

    nb::object graph_class = attr(attr(state().module, ir_name), graph_class_name);
    return graph_class("nodes"_a = attr(graph, nodes_name), "edges"_a = attr(graph, edges_name),
                       "metadata"_a = new_metadata);
}

nb::object get_stamp(nb::handle graph) {
    nb::object metadata = attr(graph, metadata_name);
    int found = PySequence_Contains(metadata.ptr(), provenance_key.get());
    check(found);
    if (!found) return none();
    nb::object stamp = own(PyObject_GetItem(metadata.ptr(), provenance_key.get()));
    if (PyDict_CheckExact(stamp.ptr()) || stamp.is_none()) return stamp;
    raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", ondrel::type_name(stamp));
}

}  // namespace ondrel::fingerprint
