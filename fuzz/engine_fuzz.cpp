// Fuzz target: bytes as the filter's standard input, served in-process by the real
// filter object over a copy of the example server directory. Every run must keep the
// output-channel promise (one reply per request line, in order, every other line a
// "* " log line, no CR); a breach aborts with the input and the output.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "list_record.h"
#include "load_settings.h"
#include "logging.h"
#include "output_channel.h"
#include "quorvel.h"

namespace {

namespace fs = std::filesystem;

std::ostringstream* captured = nullptr;

void capture_report(const std::string& line) {
    *captured << line;
}

// The copy of the example server, removed at exit.
struct ServerCopy {
    ServerCopy() {
        std::string pattern = (fs::temp_directory_path() / "quorvel-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        root = pattern;
        fs::copy(QUORVEL_EXAMPLE_SERVER, root, fs::copy_options::recursive);
    }
    ~ServerCopy() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path root;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static ServerCopy server;
    if (chdir(server.root.c_str()) != 0) {
        std::abort();
    }
    // As the start-up does, while there is one thread.
    main_domain_name();
    captured = new std::ostringstream;
    kel::set_output(captured);
    set_settings_report_sink(&capture_report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    captured->str("");
    {
        std::istringstream requests(input);
        Quorvel filter;
        filter.run(requests);
    }
    const std::string output = captured->str();
    const std::string breach = output_channel_breach(input, output, 0);
    if (!breach.empty()) {
        std::fprintf(stderr, "engine_fuzz: output channel broken: %s\n--- output:\n%s---\n",
                     breach.c_str(), printable(output.substr(0, 4096)).c_str());
        std::abort();
    }
    return 0;
}
