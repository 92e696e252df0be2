// The filter's one output channel is standard output, shared by the protocol's
// reply lines and the log records that the server files in its own log. Both are
// written as whole lines, each under the output lock and flushed at once, so lines
// of different threads never mix. Use both classes as unnamed temporaries:
//   kel::logline(request_number) << "Accepting message";
// The line is written when the temporary is destroyed at the end of the statement.
#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "mutex.h"
#include "printable.h"

namespace kel {

// An output stream that collects everything inserted in memory.
class ostream_base : public std::ostream {
  public:
    ostream_base() : std::ostream(nullptr) { rdbuf(&collected); }
    ~ostream_base() override = default;
    std::string text() const { return collected.str(); }
    // The text without a copy; valid while the object lives and nothing is inserted.
    std::string_view view() const { return collected.view(); }

  private:
    std::stringbuf collected{std::ios_base::out};
};

// One plain line: the text with its trailing line feeds replaced by exactly one.
class outline : public ostream_base {
  public:
    ~outline() override;
};

// One log record: "* ", then "[id] " when id is not 0, then "tag: " when a tag is
// given, then the text. A text of several lines (split at LF or CR) gives one line
// per piece, each with the full prefix, so no record can pass for a reply line;
// each piece is written as printable() writes it, so no control character and no
// byte outside UTF-8 reaches the log raw. Text from outside belongs in printable()
// first: only the program's own text may split a record. The tag is taken as
// outside text.
// A tagged record whose text equals that tag's previous one is counted, not
// written; the count is reported when a different text comes under the tag.
class logline : public ostream_base {
  public:
    logline() = default;
    explicit logline(uint32_t id) : id(id) {}
    explicit logline(std::string_view tag) : tag(printable(tag)) {}
    // Any other integer type is taken as a request number, not as a tag.
    explicit logline(int id) : id(static_cast<uint32_t>(id)) {}
    ~logline() override;

  private:
    std::string tag;
    uint32_t id = 0;
};

// The lock under which every line reaches standard output. Exposed for the one
// other writer that must keep its text in order with these lines.
Mutex& output_lock();

// True once writing a line has failed, as it does for good when the reader of
// standard output has gone: no later line can reach it.
bool output_lost();

// Where lines go; standard output unless a test redirects it. REQUIRES: called
// while no line is being written.
void set_output(std::ostream* stream);

}  // namespace kel
