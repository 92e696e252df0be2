// The settings value handle and its payload. Values nest as deep as the grammar's
// stack allows (thousands of levels), so the payload releases its children without
// recursing once per level.
#include "data_set.h"

namespace cgp {
namespace {

constexpr size_t initial_entry_room = 100;

// Moves the handles a payload owns to the end of `pending`.
void take_children(data_set& payload, std::vector<DataSet>& pending) {
    for (const DataSet& element : payload.elements) {
        pending.push_back(element);
    }
    payload.elements.clear();
    for (const auto& entry : payload.entries) {
        pending.push_back(entry.second);
    }
    payload.entries.clear();
}

}  // namespace

DataSet::DataSet() : thread_safe_ptr<data_set>(new data_set(Empty)) {}

DataSet::DataSet(DataSetKind kind) : thread_safe_ptr<data_set>(new data_set(kind)) {}

DataSet::DataSet(const std::string& text) : thread_safe_ptr<data_set>(new data_set(String)) {
    get()->text = text;
}

DataSet::DataSet(const DataSet& source) : thread_safe_ptr<data_set>(source) {}

DataSet& DataSet::operator=(const DataSet& source) {
    thread_safe_ptr<data_set>::operator=(source);
    return *this;
}

DataSet::~DataSet() = default;

DataSetKind DataSet::kind() const {
    return get()->kind;
}

const std::string& DataSet::text() const {
    return get()->text;
}

size_t DataSet::size() const {
    return get()->elements.size();
}

const DataSet& DataSet::at(size_t index) const {
    return get()->elements[index];
}

const DataSet* DataSet::find(const std::string& key) const {
    const auto& entries = get()->entries;
    auto found = entries.find(key);
    return found == entries.end() ? nullptr : &found->second;
}

DataSet& DataSet::operator[](const std::string& key) {
    auto& entries = get()->entries;
    if (entries.empty() && entries.bucket_count() < initial_entry_room) {
        entries.reserve(initial_entry_room);
    }
    auto found = entries.find(key);
    if (found == entries.end()) {
        found = entries.emplace(key, DataSet()).first;
    }
    return found->second;
}

void DataSet::append(const DataSet& value) {
    get()->elements.push_back(value);
}

void DataSet::append_text(const std::string& bytes) {
    get()->text += bytes;
}

// Runs under the handle lock, which is recursive. A child whose last handle is
// ours gives up its own children to the work list before it goes, so releasing a
// deeply nested value takes constant stack.
data_set::~data_set() {
    std::vector<DataSet> pending;
    take_children(*this, pending);
    while (!pending.empty()) {
        DataSet child = pending.back();
        pending.pop_back();
        if (child.is_unique()) {
            take_children(*child, pending);
        }
    }
}

}  // namespace cgp
