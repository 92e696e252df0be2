// Directory listings as the list cache takes them. A directory that cannot be listed
// (EIO, ESTALE: NFS in a fail-over, a failing disk) is not an empty one, or every
// list in it would be dropped and its mail let through unchecked; it is taken as it
// was at its last complete listing, less the entries found gone since, and a
// directory never listed completely holds nothing known. A directory that is not
// there (ENOENT, ENOTDIR) lists as empty. Each directory entering the state that it
// cannot be listed gives one log record. Of a list directory, only its list files are
// remembered. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "file_system.h"

class ListingMemory {
  public:
    // Whether an entry remembered from an earlier listing is still there.
    using StillThere = std::function<bool(const std::string& name)>;

    // The names of the directory at `path`, in the order the system lists them.
    // `order` places the record of a directory that enters the failing state among
    // the others of the same refresh.
    std::vector<std::string> list(kel::FileSystem& file_system, const std::string& path,
                                  size_t order, const StillThere& still_there);
    // The same for a listing already made (on another thread, say).
    std::vector<std::string> take(const std::string& path, kel::DirectoryListing listing,
                                  size_t order, const StillThere& still_there);

    // The records of the directories that entered the failing state since the last
    // call ("Cannot list directory <path>: <reason>"), by their order.
    std::vector<std::string> take_records();

    // The last complete listing of `path`; null when there is none.
    const std::vector<std::string>* remembered(const std::string& path) const {
        auto found = complete.find(path);
        return found != complete.end() ? &found->second : nullptr;
    }

    // Forgets every directory that `keep` does not name, failing or not: a
    // directory gone from the tree (its domain removed) must leave nothing here.
    void forget_all_but(const std::function<bool(const std::string& path)>& keep);

    bool is_failing(const std::string& path) const { return failing_now.count(path) != 0; }
    // The directories remembered, for tests and benchmarks.
    size_t size() const { return complete.size() + failing_now.size(); }

  private:
    std::unordered_map<std::string, std::vector<std::string>> complete;
    std::map<std::string, std::string> failing_now;
    std::vector<std::pair<size_t, std::string>> pending;
};

// The entry `name` of `directory` is there or cannot be told absent: only a status
// that leads nowhere (ENOENT and the like) says that a remembered entry is gone.
bool entry_still_there(kel::FileSystem& file_system, const std::string& directory,
                       const std::string& name);
