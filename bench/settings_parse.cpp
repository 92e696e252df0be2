// The cost of reading one settings file: writes a file of the size asked for, reads it
// as the filter reads a settings file, and prints the outcome, the time the reading
// took and the peak resident memory of the process. Run each size in a process of its
// own, so that the peak is that reading's.
// Usage: quorvel_settings_bench [--shape dictionaries|chains|string] [--largest BYTES]
//                               MEBIBYTES
//   dictionaries: one dictionary of small dictionaries, { k1 = {a = b;}; ... }
//   chains: an array of nested dictionaries, ({a={b={}}}, ...): the most memory per
//           value the notation allows.
//   string: one dictionary of one long quoted string: the most memory per byte.
//   --largest: the size bound the file is read with (by default the readers' own).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "load_settings.h"

namespace fs = std::filesystem;

namespace {

// Writes the file a piece at a time, so that the text itself never weighs on the peak.
void write_settings(const std::string& path, const std::string& shape, size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    if (shape == "string") {
        out << "{a=\"";
        const std::string block(4096, 'x');
        for (size_t left = bytes - 8; left > 0; left -= std::min(left, block.size())) {
            out.write(block.data(), static_cast<std::streamsize>(std::min(left, block.size())));
        }
        out << "\";}\n";
        return;
    }
    const bool chains = shape == "chains";
    out << (chains ? "(" : "{\n");
    size_t written = 2;
    for (size_t count = 0;; ++count) {
        std::string piece = chains ? (count == 0 ? "" : ",") + std::string("{a={b={}}}")
                                   : "k" + std::to_string(count) + " = {a = b;};\n";
        if (written + piece.size() + 2 > bytes) {
            break;
        }
        out << piece;
        written += piece.size();
    }
    out << (chains ? ")\n" : "}\n");
}

long peak_kilobytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    std::string shape = "dictionaries";
    size_t mebibytes = 0;
    size_t largest = settings_size_limit;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        if (argument == "--shape" && index + 1 < argc) {
            shape = argv[++index];
        } else if (argument == "--largest" && index + 1 < argc) {
            largest = std::strtoul(argv[++index], nullptr, 10);
        } else {
            mebibytes = std::strtoul(argument.c_str(), nullptr, 10);
        }
    }
    if (mebibytes == 0 || (shape != "dictionaries" && shape != "chains" && shape != "string")) {
        std::fprintf(stderr,
                     "usage: %s [--shape dictionaries|chains|string] [--largest BYTES] "
                     "MEBIBYTES\n",
                     argv[0]);
        return 2;
    }
    const std::string path =
        (fs::temp_directory_path() / ("quorvel-settings-bench-" + std::to_string(getpid())))
            .string();
    write_settings(path, shape, mebibytes << 20);
    const long before_kb = peak_kilobytes();
    const auto start = std::chrono::steady_clock::now();
    SettingsFile file = examine_settings_file(path, largest);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const char* state = file.state == SettingsState::Loaded ? "loaded" : "unreadable";
    std::printf("%s, %zu bytes: %s%s%s in %.3f s, peak resident %ld kB (%ld kB before)\n",
                shape.c_str(), static_cast<size_t>(fs::file_size(path)), state,
                file.reason.empty() ? "" : ": ", file.reason.c_str(), took.count(),
                peak_kilobytes(), before_kb);
    fs::remove(path);
    return 0;
}
