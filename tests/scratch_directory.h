// A temporary directory made the working directory of one unit test and removed
// with all it holds afterwards: the lists code reads paths relative to the server's
// base directory, as the filter runs in it. Header-only, for the unit tests beside
// the code (the whole-process tests build their trees with server_tree.h).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

class ScratchDirectory {
  public:
    // `prefix` names the directory under the system's temporary one, e.g.
    // "quorvel-lists"; made() tells whether it could be made and entered.
    explicit ScratchDirectory(const std::string& prefix) {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX"));
        if (mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        root = pattern;
        previous = std::filesystem::current_path();
        std::filesystem::current_path(root);
    }
    // Back to the directory the test started in, then removed. A caller that
    // mounted anything below it unmounts that first.
    ~ScratchDirectory() {
        if (root.empty()) {
            return;
        }
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
        std::filesystem::remove_all(root, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    bool made() const { return !root.empty(); }
    const std::filesystem::path& path() const { return root; }

    // Writes `content` to `path` in place of what was there, making the
    // directories above it; a path that cannot be written stays as it was.
    static void write(const std::string& path, const std::string& content) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }

  private:
    std::filesystem::path root, previous;
};
