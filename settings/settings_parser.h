// The settings scanner and grammar as one machine over bytes held in memory, and the
// state shared by its generated parts. Internal to the settings library: the
// loader drives it, the tests reach it through parse_settings_text.
#pragma once

#include <string>
#include <vector>

#include "data_set.h"
#include "mutex.h"

namespace cgp {

// Every value the grammar makes during one parse is appended here, and the grammar's
// semantic values are indices into it, so growing it invalidates nothing and it keeps
// partly built values alive. Guarded by the build lock, which its user holds from
// emptying the pool before a parse to emptying it after.
std::vector<DataSet>& build_pool();
kel::SimpleMutex& build_lock();
// Drops the pool's handles, the latest first.
void clear_build_pool();

// What one run of the grammar leaves for its caller.
struct ParseOutcome {
    bool accepted = false;
    // Pool index of the top-level list; -1 when the input holds no value.
    long top = -1;
};

// Scans and parses `bytes`, naming them `name` in the report line. A rejected input
// writes that line into the buffered standard output. REQUIRES: the build lock held.
ParseOutcome run_settings_parser(const std::string& bytes, const std::string& name);

// What the scanner and the grammar share during one run.
struct ParseContext {
    explicit ParseContext(const std::string& name) : name(name) {}

    std::vector<DataSet>& pool = build_pool();
    // Token values, for the grammar's actions; a token's semantic value is its index.
    std::vector<std::string> tokens;
    const std::string& name;
    // Position after the last token scanned: lines counted from 0, columns in bytes.
    long line = 0;
    long column = 0;
    // The raw bytes of the last token handed to the grammar; empty at the end.
    std::string near;
    long top = -1;

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
