// Measures how long a large subscriber file takes to load through the list refresh
// and how much memory each subscriber costs. Writes the file in a temporary server
// tree, runs one refresh there, and prints the figures.
//   subscriber_load_bench [mebibytes, default 100; 512 is the largest file read]
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "list_record.h"
#include "list_refresh.h"
#include "logging.h"

namespace fs = std::filesystem;

namespace {

// What other work on the machine takes from the load does not count here.
double cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 100;
    std::string pattern = (fs::temp_directory_path() / "quorvel-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    fs::create_directories(root / "Domains/example.org/LISTS");

    // Realistic lines: address, mode, subscription time, flags, posting field, name.
    uint64_t written = 0, lines = 0, address_bytes = 0;
    {
        std::ofstream out(root / "Domains/example.org/LISTS/big.list", std::ios::binary);
        std::string line;
        while (true) {
            std::string address = "subscriber." + std::to_string(lines) + "@example.org";
            line = address + "\tfeed\t12-03-2026_10:11:12\t0\t" +
                   (lines % 10 == 0 ? "-010001" : "-") + "\tSubscriber " + std::to_string(lines) +
                   "\n";
            // At most the size asked for, so that the largest file read can be asked.
            if (written + line.size() > static_cast<uint64_t>(megabytes) << 20) {
                break;
            }
            out << line;
            written += line.size();
            address_bytes += address.size();
            ++lines;
        }
    }

    std::ostringstream discarded;
    kel::set_output(&discarded);
    fs::current_path(root);
    size_t heap_before = mallinfo2().uordblks + mallinfo2().hblkhd;
    auto started = std::chrono::steady_clock::now();
    const double cpu_started = cpu_seconds();
    const ListTable& table = refresh_lists(1);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double cpu = cpu_seconds() - cpu_started;
    size_t heap_after = mallinfo2().uordblks + mallinfo2().hblkhd;
    kel::set_output(nullptr);

    const ListRecord& list = table.at("big@example.org");
    const size_t count = list.subscribers.size();
    const double heap_per = static_cast<double>(heap_after - heap_before) / count;
    const double store_per = static_cast<double>(list.subscribers.memory_bytes()) / count;
    const double address_per = static_cast<double>(address_bytes) / lines;
    std::printf("file: %.1f MB, %llu lines, %zu subscribers loaded\n", written / 1048576.0,
                static_cast<unsigned long long>(lines), count);
    std::printf("load time: %.3f s (cpu %.3f s)\n", seconds, cpu);
    std::printf(
        "memory per subscriber: %.1f bytes on the heap (store %.1f), of which %.1f "
        "address bytes: %.1f beyond the address\n",
        heap_per, store_per, address_per, heap_per - address_per);
    fs::current_path("/");
    fs::remove_all(root);
    return count == lines ? 0 : 1;
}
