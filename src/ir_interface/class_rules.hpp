// What a service does for each node class, written as one table of rows.
//
// A row names one IR class, or two that share a rule, and the rule itself.
// Rows are tested in table order with isinstance (subclasses match). A
// `Lookup::Required` row looks its classes up on the IR module as it is
// reached, and a module that lacks one raises the host's AttributeError;
// an `IfDefined` row is skipped when the module lacks its class.
//
// Next to its rows, a table lists the classes it deliberately has no rule
// for; covers_every_class() checks at compile time that the two together
// name every IR class exactly once, so adding a class to the IR list without
// deciding what each service does with it fails the build.
#pragma once

#include "ir_interface/ir_classes.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace ondrel {

enum class Lookup { Required, IfDefined };

template <typename Rule>
struct ClassRow {
    IrClass first;
    IrClass second;  // equal to `first` for a row of one class
    Lookup lookup;
    Rule rule;
};

template <typename Rule>
constexpr ClassRow<Rule> row(IrClass cls, Lookup lookup, Rule rule) {
    return {cls, cls, lookup, rule};
}
template <typename Rule>
constexpr ClassRow<Rule> row(IrClass first, IrClass second, Lookup lookup, Rule rule) {
    return {first, second, lookup, rule};
}

// isinstance(node, (first, second)): a required row looks both classes up
// before testing either, so a module lacking the second raises even for a
// node of the first.
template <typename Rule>
bool matches(const ClassRow<Rule>& row, const IrModule& ir, nb::handle node) {
    if (row.lookup == Lookup::Required) {
        nb::handle first = ir.required(row.first), second = ir.required(row.second);
        return ir.is_instance(node, first) || (row.second != row.first && ir.is_instance(node, second));
    }
    return ir.is_a_if_defined(node, row.first) || (row.second != row.first && ir.is_a_if_defined(node, row.second));
}

// The rule of the first row that `node` matches, or null.
template <typename Rule, size_t N>
const Rule* first_rule(const std::array<ClassRow<Rule>, N>& rows, const IrModule& ir, nb::handle node) {
    for (const ClassRow<Rule>& row : rows)
        if (matches(row, ir, node)) return &row.rule;
    return nullptr;
}

// visit(rule) for every row that `node` matches, in table order.
template <typename Rule, size_t N, typename Visit>
void for_each_rule(const std::array<ClassRow<Rule>, N>& rows, const IrModule& ir, nb::handle node, Visit&& visit) {
    for (const ClassRow<Rule>& row : rows)
        if (matches(row, ir, node)) visit(row.rule);
}

// The rows many nodes of one call match, tested once per node type where
// the type alone decides them (IrModule::type_decides_isinstance); other
// nodes are tested row by row each time. One memo answers one kind of
// question: first() or each(), not both.
template <typename Rule, size_t N>
class RowMemo {
public:
    RowMemo(const std::array<ClassRow<Rule>, N>& rows, const IrModule& ir) : rows_(rows), ir_(ir) {}

    // first_rule(rows, ir, node)
    const Rule* first(nb::handle node) {
        if (const Known* known = find(node); known && known->decided)
            return known->row < N ? &rows_[known->row].rule : nullptr;
        const Rule* rule = first_rule(rows_, ir_, node);
        size_t row = 0;
        while (row < N && &rows_[row].rule != rule) ++row;
        remember(node, row, 0);
        return rule;
    }

    // for_each_rule(rows, ir, node, visit)
    template <typename Visit>
    void each(nb::handle node, Visit&& visit) {
        const Known* known = find(node);
        if (known && known->decided) {
            for (size_t row = 0; row < N; ++row)
                if (known->matched & (uint64_t{1} << row)) visit(rows_[row].rule);
            return;
        }
        uint64_t matched = 0;
        for (size_t row = 0; row < N; ++row) {
            if (!matches(rows_[row], ir_, node)) continue;
            matched |= uint64_t{1} << row;
            visit(rows_[row].rule);
        }
        remember(node, N, matched);
    }

private:
    static_assert(N <= 64);
    struct Known {
        PyTypeObject* type;  // an IR class, kept alive by the IR module, when decided
        bool decided;
        size_t row;
        uint64_t matched;
    };
    const Known* find(nb::handle node) const {
        for (const Known& known : known_)
            if (known.type == Py_TYPE(node.ptr())) return &known;
        return nullptr;
    }
    void remember(nb::handle node, size_t row, uint64_t matched) {
        if (find(node)) return;
        PyTypeObject* type = Py_TYPE(node.ptr());
        known_.push_back({type, ir_.type_decides_isinstance(type), row, matched});
    }
    const std::array<ClassRow<Rule>, N>& rows_;
    const IrModule& ir_;
    std::vector<Known> known_;
};

template <typename Rule, size_t N, size_t M>
constexpr bool covers_every_class(const std::array<ClassRow<Rule>, N>& rows,
                                  const std::array<IrClass, M>& without_rule) {
    std::array<int, ir_class_count> named{};
    for (const ClassRow<Rule>& row : rows) {
        ++named[static_cast<size_t>(row.first)];
        if (row.second != row.first) ++named[static_cast<size_t>(row.second)];
    }
    for (IrClass cls : without_rule) ++named[static_cast<size_t>(cls)];
    for (int count : named)
        if (count != 1) return false;
    return true;
}

// The classes of the rows, in table order, as class names (for the module's
// record of what it handles).
template <typename Rule, size_t N>
nb::object rule_class_names(const std::array<ClassRow<Rule>, N>& rows) {
    nb::object names = own(PyList_New(0));
    for (const ClassRow<Rule>& row : rows) {
        append(names, own(PyUnicode_FromString(ir_class_name(row.first))));
        if (row.second != row.first) append(names, own(PyUnicode_FromString(ir_class_name(row.second))));
    }
    return own(PyList_AsTuple(names.ptr()));
}

// module._NODE_RULES[table] = {"rules": (class names...), "without_rule": (...)}:
// what a table covers, for the test that every IR class is accounted for.
template <typename Rule, size_t N, size_t M>
void record_table(nb::handle module, const char* table, const std::array<ClassRow<Rule>, N>& rows,
                  const std::array<IrClass, M>& without_rule) {
    static const Name registry_name("_NODE_RULES");
    nb::object registry = attr_if_exists(module, registry_name);
    if (!registry.is_valid()) {
        registry = own(PyDict_New());
        check(PyObject_SetAttr(module.ptr(), registry_name.get(), registry.ptr()));
    }
    nb::object entry = own(PyDict_New());
    set_item(entry, text("rules"), rule_class_names(rows));
    set_item(entry, text("without_rule"), class_name_tuple(without_rule));
    set_item(registry, text(table), entry);
}

}  // namespace ondrel
