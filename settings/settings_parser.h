// The settings scanner and grammar as one machine over bytes held in memory, and the
// state its generated parts share during one run. Internal to the settings library:
// the loader drives it, the tests reach it through parse_settings_text. Every run has
// state of its own, so runs on different threads never wait for each other.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "data_set.h"

namespace cgp {

// What one run of the grammar leaves for its caller.
struct ParseOutcome {
    bool accepted = false;
    // The input was refused because it makes more than `most_values` values.
    bool too_many_values = false;
    // The top-level list (an Array); Empty when the input holds no value.
    DataSet top;
    // The report line of a rejected input, "* while parsing ..." and its line feed;
    // empty when the input was accepted. Nothing is written: the caller decides.
    std::string report;
};

// Scans and parses `bytes`, naming them `name` in the report line. The parse stops,
// refused, as soon as the grammar would make value number `most_values` + 1.
ParseOutcome run_settings_parser(const std::string& bytes, const std::string& name,
                                 size_t most_values);

// What the scanner and the grammar share during one run.
struct ParseContext {
    ParseContext(const std::string& name, size_t most_values)
        : name(name), most_values(most_values) {}
    ~ParseContext();
    ParseContext(const ParseContext&) = delete;
    ParseContext& operator=(const ParseContext&) = delete;

    // Every value the grammar makes is appended here, and the grammar's semantic
    // values are indices into it, so growing it invalidates nothing and it keeps
    // partly built values alive until the run ends. It never holds more than
    // `most_values`: its size is the count of values the input made.
    std::vector<DataSet> pool;
    const std::string& name;
    const size_t most_values;
    bool too_many_values = false;
    // Position after the last token scanned: lines counted from 0, columns in bytes.
    long line = 0;
    long column = 0;
    // The raw bytes of the last token handed to the grammar; empty at the end.
    std::string near;
    long top = -1;
    std::string report;

    // The index of `value` in the pool; -1, with nothing added, when the pool is full.
    long add_value(const DataSet& value) {
        if (pool.size() >= most_values) {
            too_many_values = true;
            return -1;
        }
        pool.push_back(value);
        return static_cast<long>(pool.size()) - 1;
    }

    // Token values for the grammar's actions; a token's semantic value is its number.
    // The grammar reads at most one token ahead, so an action uses a token's text
    // before the next few are scanned and a small ring holds every text still needed:
    // the memory the texts take stays that of a few tokens, however many the input has.
    long add_token(std::string value) {
        tokens[static_cast<size_t>(scanned) % tokens.size()] = std::move(value);
        return scanned++;
    }
    const std::string& token(long number) const {
        return tokens[static_cast<size_t>(number) % tokens.size()];
    }

  private:
    std::array<std::string, 4> tokens;
    long scanned = 0;
};

}  // namespace cgp
