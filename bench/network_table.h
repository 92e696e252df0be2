// What the network benchmark prints beyond its progress: the header that says what
// it runs and what each figure is, and the closing table that sets this build's
// figures beside the before build's, one row for each shape and storage, in the
// columns of the targets for lists at hosting scale.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "reading_figures.h"
#include "synthetic_tree.h"

// The run, as the command line chose it.
struct NetworkSettings {
    std::vector<TreeShape> shapes{{10000, 10, 20, 200, true}, {1000, 10, 20, 200, true}};
    std::vector<unsigned> delays_us{100, 1000};
    double entry_timeout = 1, negative_timeout = 1;  // of the slow storage's names
    std::string binary, before;                      // the executables; binary empty: built here
    int changes = 5, before_changes = 1;             // samples of each edit
    double cap = 900, before_cap = 400;              // on each wait, in seconds
    double ratio_seconds = 30, idle_seconds = 60;
    bool local = true, cold = true, one_cpu = false;
};

// One build over the tree with "Domains" on slow storage.
struct NetworkFigures {
    FirstReading first;
    FloorRatio ratio;          // the rest only when the first reading ended within the cap
    double ratio_busy = 0;     // share of the ratio's time the filter's calls ran
    double idle_percent = -1;  // of one core; negative: not measured
    double idle_busy = 0;
    std::vector<double> new_seen, changed_seen;  // seconds; the last one cut when *_cut
    bool new_cut = false, changed_cut = false;
    bool failed = false;  // a request got no reply
};

// One build with the whole tree on local disk.
struct LocalFigures {
    FirstReading warm;
    std::optional<FirstReading> cold;
    std::string cold_note;  // why cold is missing
};

// One row: `delay_us` set for slow storage (network, one entry per build), unset for
// local disk (local, one entry per build).
struct TableRow {
    TreeShape shape;
    std::optional<unsigned> delay_us;
    std::vector<NetworkFigures> network;
    std::vector<LocalFigures> local;
};

// "10,000 x 10".
std::string shape_label(const TreeShape& shape);

void print_header(const NetworkSettings& settings, const std::string& binary);
// `before_cap` cuts the before build's cells.
void print_table(const std::vector<TableRow>& rows, const NetworkSettings& settings);
