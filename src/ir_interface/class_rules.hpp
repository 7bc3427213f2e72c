// What a service does for each node class, written as one table of rows, and
// the node as a rule sees it.
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
#include <optional>
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

// One node as the rules read it: attribute reads and class tests, either
// made on the node itself (HostNode) or answered from a graph snapshot
// (graph_snapshot.hpp), which holds what those reads return.
class NodeView {
public:
    virtual nb::handle object() const = 0;
    virtual nb::object type_name() const = 0;  // type(node).__name__
    // isinstance(node, (ir.<first>, ir.<second>)), the classes looked up as `lookup` says.
    virtual bool is_a(IrClass first, IrClass second, Lookup lookup) const = 0;
    bool is_a(IrClass cls) const { return is_a(cls, cls, Lookup::Required); }
    virtual nb::object read(Field field) const = 0;            // node.<field>
    virtual nb::object read_if_exists(Field field) const = 0;  // invalid when the node lacks it
    // getattr(node, field, fallback)
    nb::object read_or(Field field, nb::handle fallback) const {
        nb::object value = read_if_exists(field);
        return value.is_valid() ? value : nb::borrow(fallback);
    }
    // The attribute when the node has it and it is not None, else invalid.
    nb::object present(Field field) const { return unless_none(read_if_exists(field)); }

protected:
    ~NodeView() = default;
};

// The node itself: every read and test goes to the host, as written.
class HostNode final : public NodeView {
public:
    HostNode(nb::handle node, const IrModule& ir) : node_(node), ir_(ir) {}
    nb::handle object() const override { return node_; }
    nb::object type_name() const override { return type_name_object(node_); }
    using NodeView::is_a;
    bool is_a(IrClass first, IrClass second, Lookup lookup) const override;
    nb::object read(Field field) const override { return attr(node_, field_key(field)); }
    nb::object read_if_exists(Field field) const override { return attr_if_exists(node_, field_key(field)); }

private:
    nb::handle node_;
    const IrModule& ir_;
};

// The rule of the first row that `node` matches, or null.
template <typename Rule, size_t N>
const Rule* first_rule(const std::array<ClassRow<Rule>, N>& rows, const NodeView& node) {
    for (const ClassRow<Rule>& row : rows)
        if (node.is_a(row.first, row.second, row.lookup)) return &row.rule;
    return nullptr;
}

template <typename Rule, size_t N, size_t M>
constexpr bool covers_every_class(const std::array<ClassRow<Rule>, N>& rows,
                                  const std::array<IrClass, M>& without_rule) {
    std::array<int, ir_class_count> named{};
    for (const ClassRow<Rule>& row : rows) {
        ++named[index_of(row.first)];
        if (row.second != row.first) ++named[index_of(row.second)];
    }
    for (IrClass cls : without_rule) ++named[index_of(cls)];
    for (int count : named)
        if (count != 1) return false;
    return true;
}

namespace class_rules_detail {
void record_table(nb::handle module, const char* table, const std::vector<IrClass>& with_rule,
                  const std::vector<IrClass>& without_rule);
}

// module._NODE_RULES[table] = {"rules": (class names...), "without_rule": (...)}:
// what a table covers, for the test that every IR class is accounted for.
template <typename Rule, size_t N, size_t M>
void record_table(nb::handle module, const char* table, const std::array<ClassRow<Rule>, N>& rows,
                  const std::array<IrClass, M>& without_rule) {
    std::vector<IrClass> with_rule;
    for (const ClassRow<Rule>& row : rows) {
        with_rule.push_back(row.first);
        if (row.second != row.first) with_rule.push_back(row.second);
    }
    class_rules_detail::record_table(module, table, with_rule, {without_rule.begin(), without_rule.end()});
}

}  // namespace ondrel
