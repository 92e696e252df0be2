// Edits of lists in a synthetic tree (synthetic_tree.h) made as the server makes
// them: each file written whole under a temporary name, then renamed into place, so
// that a reader never meets one half written. For the benchmarks that time how long
// a filter takes to see an edit: each edit comes with a queued posting whose reply
// changes once the filter knows of it, and every edit can be undone. It trusts the
// tree, which the benchmark wrote.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ListEdit {
    std::string what;     // what it does, to print
    std::string posting;  // the queued message to post, relative to the root
    std::function<void()> apply;
};

class ListEdits {
  public:
    // `root`: the tree, whose queue gets the postings. `domains_source`: where the
    // content of its "Domains" is written (the source behind a mount, or "Domains").
    ListEdits(std::string root, std::string domains_source);

    // A new list "fresh<N>" in domain `domain` of the synthetic tree, open to its
    // one subscriber only; the posting, by someone else, is refused once it is known.
    ListEdit new_list(int domain);
    // The list "list3" of `domain`, open to its subscribers: with `settings`, its
    // settings allow the owner only; without, its subscriber file loses its first
    // subscriber. The posting, by that subscriber, is refused once the change is seen.
    ListEdit change_list(int domain, bool settings);

    // Removes the new lists and the postings and puts back what was changed.
    void undo_all();

  private:
    std::string posting(const std::string& sender, const std::string& list_address);
    std::string list_directory(int domain) const;

    std::string root, domains_source;
    int made = 0;
    std::vector<std::string> created;                        // files to remove
    std::vector<std::pair<std::string, std::string>> saved;  // path, content as it was
};
