#include "ir_interface/class_rules.hpp"

namespace ondrel {

// A required row looks both classes up before testing either, as
// isinstance(node, (first, second)) does: a module lacking the second raises
// even for a node of the first.
bool HostNode::is_a(IrClass first, IrClass second, Lookup lookup) const {
    if (lookup == Lookup::Required) {
        nb::handle first_class = ir_.found(first), second_class = ir_.found(second);
        if (!first_class.is_valid()) first_class = ir_.required(first);
        if (!second_class.is_valid()) second_class = ir_.required(second);
        return ir_.is_instance(node_, first_class) || (second != first && ir_.is_instance(node_, second_class));
    }
    return ir_.is_a_if_defined(node_, first) || (second != first && ir_.is_a_if_defined(node_, second));
}

namespace class_rules_detail {

void record_table(nb::handle module, const char* table, const std::vector<IrClass>& with_rule,
                  const std::vector<IrClass>& without_rule) {
    static const Name registry_name("_NODE_RULES");
    nb::object registry = attr_if_exists(module, registry_name);
    if (!registry.is_valid()) {
        registry = own(PyDict_New());
        check(PyObject_SetAttr(module.ptr(), registry_name.get(), registry.ptr()));
    }
    auto names = [](const std::vector<IrClass>& classes) {
        nb::object tuple = own(PyTuple_New(static_cast<Py_ssize_t>(classes.size())));
        for (size_t i = 0; i < classes.size(); ++i)
            PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), text(ir_class_name(classes[i])).release().ptr());
        return tuple;
    };
    nb::object entry = own(PyDict_New());
    set_item(entry, text("rules"), names(with_rule));
    set_item(entry, text("without_rule"), names(without_rule));
    set_item(registry, text(table), entry);
}

}  // namespace class_rules_detail

}  // namespace ondrel
