#include "ir_interface/graph_walk.hpp"

namespace ondrel {

void TextPositions::rehash(size_t expected) {
    size_t capacity = 8;
    while (capacity < 2 * expected) capacity *= 2;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    for (const Slot& slot : old)
        if (slot.text) slots_[slot_for(slot.text, slot.hash)] = slot;
}

// Linear probing: the slot holding an equal name, or the empty one where it would go.
size_t TextPositions::slot_for(PyObject* text, Py_hash_t hash) const {
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.text || slot.text == text || (slot.hash == hash && PyUnicode_Compare(slot.text, text) == 0))
            return i;
    }
}

uint32_t TextPositions::insert(PyObject* text, uint32_t position) {
    if (2 * (size_ + 1) > slots_.size()) rehash(size_ + 1);
    Py_hash_t hash = PyObject_Hash(text);  // cached for str
    Slot& slot = slots_[slot_for(text, hash)];
    if (slot.text) return slot.position;
    slot = {text, hash, position};
    ++size_;
    return position;
}

std::optional<uint32_t> TextPositions::find(PyObject* text) const {
    const Slot& slot = slots_[slot_for(text, PyObject_Hash(text))];
    if (!slot.text) return std::nullopt;
    return slot.position;
}

std::optional<std::vector<Link>> edge_positions(const std::vector<PyObject*>& names, nb::handle edges) {
    if (!PyList_CheckExact(edges.ptr())) return std::nullopt;
    TextPositions positions(names.size());
    for (size_t i = 0; i < names.size(); ++i) positions.insert(names[i], static_cast<uint32_t>(i));
    Py_ssize_t count = PyList_GET_SIZE(edges.ptr());
    std::vector<Link> links;
    links.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *source, *destination;
        if (!is_str_edge(PyList_GET_ITEM(edges.ptr(), i), source, destination)) return std::nullopt;
        std::optional<uint32_t> from = positions.find(source), to = positions.find(destination);
        if (!from || !to) return std::nullopt;
        links.emplace_back(*from, *to);
    }
    return links;
}

}  // namespace ondrel
