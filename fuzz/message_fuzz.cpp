// Fuzz target: bytes as a queued message file, through the envelope and From readers.
// The file is read twice, through the filter's block reader and through a plain
// string stream, which take different paths through the line reader; both must give
// the same envelope and From address, and what they give must already be folded.
// The same bytes as a From value give an address no longer than they are, without
// blanks at its ends, and the From reader never gives more than it holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "address_folding.h"
#include "file_stream.h"
#include "from_address.h"
#include "message_reader.h"
#include "scratch_file.h"
#include "test_rendering.h"

namespace {

struct Reading {
    bool envelope = false;
    MessageEnvelope fields;
    std::string from;
};

Reading read_message(std::istream& stream) {
    Reading reading;
    reading.envelope = has_envelope(stream);
    if (reading.envelope) {
        reading.fields = read_envelope(stream);
    }
    reading.from = read_from_header(stream);
    return reading;
}

std::string shown(const Reading& reading) {
    std::string text = reading.envelope ? "envelope" : "no envelope";
    text += ", sender " + render_bytes(reading.fields.sender) + ", recipients";
    for (const std::string& recipient : reading.fields.recipients) {
        text += " " + render_bytes(recipient);
    }
    return text + ", From " + render_bytes(reading.from);
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "message_fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFile message("message.msg");
    message.write(data, size);
    kel::ifstream file(message.path);
    if (!file.is_open()) {
        fail("cannot open", message.path);
    }
    Reading from_file = read_message(file);
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    Reading from_text = read_message(text);

    if (shown(from_file) != shown(from_text)) {
        fail("file and text readings differ", shown(from_file) + " / " + shown(from_text));
    }
    const MessageEnvelope& fields = from_file.fields;
    bool folded = fold_lower(fields.sender) == fields.sender;
    for (const std::string& recipient : fields.recipients) {
        folded = folded && fold_lower(recipient) == recipient;
    }
    if (!folded) {
        fail("an envelope address is not folded", shown(from_file));
    }
    if ((fields.sender + from_file.from).find_first_of("\r\n") != std::string::npos) {
        fail("a line end inside an address", shown(from_file));
    }
    if (from_file.from.size() > max_from_value) {
        fail("a From address over the limit", std::to_string(from_file.from.size()) + " bytes");
    }
    const std::string address =
        mailbox_address(std::string_view(reinterpret_cast<const char*>(data), size));
    if (address.size() > size) {
        fail("an address longer than its value", render_bytes(address));
    }
    if (!address.empty() && (address.front() == ' ' || address.front() == '\t' ||
                             address.back() == ' ' || address.back() == '\t')) {
        fail("a blank at an end of an address", render_bytes(address));
    }
    return 0;
}
