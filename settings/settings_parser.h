// The settings scanner and grammar as one machine over bytes held in memory, and the
// state its generated parts share during one run. Internal to the settings library:
// the loader drives it, the tests reach it through parse_settings_text. Every run has
// state of its own, so runs on different threads never wait for each other.
#pragma once

#include <string>
#include <vector>

#include "data_set.h"

namespace cgp {

// What one run of the grammar leaves for its caller.
struct ParseOutcome {
    bool accepted = false;
    // The top-level list (an Array); Empty when the input holds no value.
    DataSet top;
    // The report line of a rejected input, "* while parsing ..." and its line feed;
    // empty when the input was accepted. Nothing is written: the caller decides.
    std::string report;
};

// Scans and parses `bytes`, naming them `name` in the report line.
ParseOutcome run_settings_parser(const std::string& bytes, const std::string& name);

// What the scanner and the grammar share during one run.
struct ParseContext {
    explicit ParseContext(const std::string& name) : name(name) {}
    ~ParseContext();
    ParseContext(const ParseContext&) = delete;
    ParseContext& operator=(const ParseContext&) = delete;

    // Every value the grammar makes is appended here, and the grammar's semantic
    // values are indices into it, so growing it invalidates nothing and it keeps
    // partly built values alive until the run ends.
    std::vector<DataSet> pool;
    // Token values, for the grammar's actions; a token's semantic value is its index.
    std::vector<std::string> tokens;
    const std::string& name;
    // Position after the last token scanned: lines counted from 0, columns in bytes.
    long line = 0;
    long column = 0;
    // The raw bytes of the last token handed to the grammar; empty at the end.
    std::string near;
    long top = -1;
    std::string report;

    long add_value(const DataSet& value) {
        pool.push_back(value);
        return static_cast<long>(pool.size()) - 1;
    }
    long add_token(std::string value) {
        tokens.push_back(std::move(value));
        return static_cast<long>(tokens.size()) - 1;
    }
};

}  // namespace cgp
