// A file in a private temporary directory that a fuzz target rewrites with each
// input, for the readers that take a path and read through kel::ifstream.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

class ScratchFile {
  public:
    explicit ScratchFile(const std::string& name) {
        std::string pattern =
            (getenv("TMPDIR") ? std::string(getenv("TMPDIR")) : "/tmp") + "/quorvel-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            abort();
        }
        directory = pattern;
        path = directory + "/" + name;
    }
    ~ScratchFile() {
        unlink(path.c_str());
        rmdir(directory.c_str());
    }

    // Replaces the file's content; aborts when it cannot, since a target that reads
    // a stale file would test nothing.
    void write(const uint8_t* data, size_t size) const {
        int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (descriptor < 0) {
            abort();
        }
        size_t done = 0;
        while (done < size) {
            ssize_t count = ::write(descriptor, data + done, size - done);
            if (count <= 0) {
                abort();
            }
            done += static_cast<size_t>(count);
        }
        close(descriptor);
    }

    std::string directory;
    std::string path;
};
