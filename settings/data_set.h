// A value of the mail server's settings notation: a tree of strings, binary blocks,
// arrays and dictionaries, held through a shared handle. Copies of a DataSet share
// one payload and nothing is copied on write, so a change made through one handle
// is seen through all of them. Only the handle ring is locked, never the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "shared_handle.h"

namespace cgp {

enum DataSetKind : int32_t { Empty = 0, String = 1, Array = 2, Dictionary = 3, Data = 4 };

class data_set;

// A handle to a settings value. Every constructor makes a payload, so a DataSet is
// never null. Reading a container that does not belong to the kind is not an error:
// it is simply empty (a Dictionary has empty text, a String has no entries).
class DataSet : public thread_safe_ptr<data_set> {
  public:
    // A new Empty value.
    DataSet();
    explicit DataSet(DataSetKind kind);
    // A new String value holding these bytes.
    explicit DataSet(const std::string& text);
    // Copies share the source's payload; assignment first drops the old one.
    DataSet(const DataSet& source);
    DataSet& operator=(const DataSet& source);
    ~DataSet() override;

    DataSetKind kind() const;
    // The bytes of a String or Data value; empty for the other kinds.
    const std::string& text() const;
    // Array elements. REQUIRES: index < size().
    size_t size() const;
    const DataSet& at(size_t index) const;
    // The value stored under the key (compared byte for byte), or nullptr.
    const DataSet* find(const std::string& key) const;
    // The value stored under the key, after storing a new Empty value there when
    // there was none. Assigning to the result replaces the stored value.
    DataSet& operator[](const std::string& key);
    void append(const DataSet& value);
    void append_text(const std::string& bytes);
};

// The shared payload. All three containers exist whatever the kind; only the one
// that belongs to the kind is filled when a value is read from text.
class data_set {
  public:
    explicit data_set(DataSetKind kind) : kind(kind) {}
    ~data_set();
    data_set(const data_set&) = delete;
    data_set& operator=(const data_set&) = delete;

    const DataSetKind kind;
    std::string text;
    std::vector<DataSet> elements;
    // Made with room for 100 entries when the first entry is stored.
    std::unordered_map<std::string, DataSet> entries;
};

}  // namespace cgp
