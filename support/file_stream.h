// Reading files without ever blocking on them. A path that is not a regular file
// (a FIFO, a socket, a device, a directory) is refused at open time: the file is
// opened without waiting and its type is checked on the open descriptor, so a FIFO
// planted in the server's tree cannot stall the filter. Opening a file costs no
// allocation: read blocks are reused from one open to the next.
#pragma once

#include <cstddef>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>

namespace kel {

// The block size of a file opened with the default; blocks of this size are reused.
constexpr std::size_t standard_block_size = 65536;

// A read-only stream buffer over a file descriptor, read in blocks. Final, so that
// the line reader can recognise it by its exact type.
class file_buffer final : public std::streambuf {
  public:
    enum class Source { RegularFile, AnyDescriptor };

    file_buffer() = default;
    ~file_buffer() override;
    file_buffer(const file_buffer&) = delete;
    file_buffer& operator=(const file_buffer&) = delete;

    // Opens a regular file; false (and nothing open) for anything else.
    bool open(const std::string& path, std::size_t block_size = standard_block_size);
    // Reads from a descriptor the caller keeps open, such as standard input; each
    // read takes what is available, up to block_size bytes.
    void adopt(int descriptor, std::size_t block_size);

    bool is_open() const { return descriptor >= 0; }
    // True once a read has failed (not merely reached the end of the file).
    bool read_failed() const { return failed; }

    // The bytes already read and not yet consumed; lets line readers scan a block
    // at a time instead of a byte at a time.
    std::string_view buffered() const {
        return {gptr(), static_cast<std::size_t>(egptr() - gptr())};
    }
    void consume(std::size_t count) { gbump(static_cast<int>(count)); }

  protected:
    int_type underflow() override;
    std::streamsize showmanyc() override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode mode) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode mode) override;

  private:
    void take_block(std::size_t size);

    int descriptor = -1;
    bool owned = false;
    bool failed = false;
    // The file offset just behind the bytes read so far, for a file this buffer
    // opened (at offset 0); a seek inside the block in hand then moves no data.
    bool offset_known = false;
    off_type end_offset = 0;
    std::unique_ptr<char[]> block;
    std::size_t block_capacity = 0;
};

// A file opened for reading, in the failed state when the path is missing,
// unreadable or not a regular file.
class ifstream : public std::istream {
  public:
    explicit ifstream(const std::string& path);
    bool is_open() const { return buffer.is_open(); }
    bool read_failed() const { return buffer.read_failed(); }

  private:
    file_buffer buffer;
};

}  // namespace kel
