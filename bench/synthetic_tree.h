// Synthetic server base directories for the benchmarks: domains, lists per domain,
// subscribers per list, and a queue of messages that mixes list postings, owner
// postings, unsubscribe requests and mail to no list.
#pragma once

#include <string>
#include <vector>

struct TreeShape {
    int domains = 1;  // the main domain counts as one
    int lists_per_domain = 10;
    int subscribers_per_list = 20;
    int messages = 200;      // distinct queued message files
    bool with_lists = true;  // false gives the floor: the same messages, no lists
};

struct SyntheticTree {
    std::string root;
    std::vector<std::string> messages;  // paths relative to root
};

// The list directory of the domain with this index, relative to the root; lists
// are named "list0", "list1" and so on.
std::string synthetic_list_directory(int domain);

// Writes the tree under `root` (which must not exist yet).
SyntheticTree make_synthetic_tree(const std::string& root, const TreeShape& shape);
