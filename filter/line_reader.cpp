// The line reader. On the filter's own buffered streams it scans a whole block at a
// time for the line end; on any other stream it takes one byte at a time.
#include "line_reader.h"

#include <cstring>
#include <typeinfo>

#include "file_stream.h"

namespace {

bool is_line_end(int byte) {
    return byte == '\n' || byte == '\r';
}

void append_bounded(std::string& line, const char* bytes, std::size_t count, std::size_t limit) {
    if (line.size() < limit) {
        line.append(bytes, std::min(count, limit - line.size()));
    }
}

// Returns the line-end byte taken, or EOF when the input ended first.
int take_line_from_block(kel::file_buffer& buffer, std::string& line, std::size_t limit) {
    using traits = std::streambuf::traits_type;
    while (true) {
        if (traits::eq_int_type(buffer.sgetc(), traits::eof())) {
            return traits::eof();
        }
        std::string_view block = buffer.buffered();
        const char* start = block.data();
        const char* end = start + block.size();
        const char* found = start;
        while (found < end && *found != '\n' && *found != '\r') {
            ++found;
        }
        append_bounded(line, start, static_cast<std::size_t>(found - start), limit);
        if (found < end) {
            buffer.consume(static_cast<std::size_t>(found - start) + 1);
            return static_cast<unsigned char>(*found);
        }
        buffer.consume(block.size());
    }
}

int take_line_bytewise(std::streambuf& buffer, std::string& line, std::size_t limit) {
    using traits = std::streambuf::traits_type;
    while (true) {
        int byte = buffer.sbumpc();
        if (traits::eq_int_type(byte, traits::eof()) || is_line_end(byte)) {
            return byte;
        }
        if (line.size() < limit) {
            line.push_back(static_cast<char>(byte));
        }
    }
}

}  // namespace

std::istream& read_line(std::istream& in, std::string& line, LineEnds ends, std::size_t limit) {
    using traits = std::streambuf::traits_type;
    line.clear();
    if (!in.good() || in.rdbuf() == nullptr) {
        in.setstate(std::ios_base::failbit);
        return in;
    }
    std::streambuf& buffer = *in.rdbuf();
    // file_buffer is final, so comparing the exact type suffices, and costs far less
    // than a dynamic_cast for every line.
    auto* block_buffer = typeid(buffer) == typeid(kel::file_buffer)
                             ? static_cast<kel::file_buffer*>(&buffer)
                             : nullptr;
    int taken = block_buffer != nullptr ? take_line_from_block(*block_buffer, line, limit)
                                        : take_line_bytewise(buffer, line, limit);
    if (traits::eq_int_type(taken, traits::eof())) {
        // A line that ended with the input still counts; an input already at its end
        // gives no line at all.
        bool nothing_taken = line.empty();
        in.setstate(nothing_taken ? std::ios_base::eofbit | std::ios_base::failbit
                                  : std::ios_base::eofbit);
        return in;
    }
    if (ends == LineEnds::Pairs) {
        int partner = taken == '\n' ? '\r' : '\n';
        if (buffer.sgetc() == partner) {
            buffer.sbumpc();
        }
    }
    return in;
}
