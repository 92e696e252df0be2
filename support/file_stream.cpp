// The descriptor-backed stream buffer. Reads retry on EINTR and wait while a
// non-blocking descriptor has no data; any other read error ends the input and is
// remembered, so callers can tell it from the end of a file. A block is never
// zero-filled (read() writes every byte that is looked at) and is reused: closed
// buffers give theirs to a small store shared by all threads under a lock held only
// to take or give one pointer.
#include "file_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

#include "mutex.h"

namespace kel {
namespace {

class SpareBlocks {
  public:
    std::unique_ptr<char[]> take() {
        ScopedLock hold(lock, true);
        if (count == 0) {
            return nullptr;
        }
        return std::move(blocks[--count]);
    }
    // Keeps the block when there is room; otherwise it is freed.
    void give(std::unique_ptr<char[]> block) {
        ScopedLock hold(lock, true);
        if (count < std::size(blocks)) {
            blocks[count++] = std::move(block);
        }
    }

  private:
    SimpleMutex lock;
    // More than the files one thread has open at once, with a second thread reading.
    std::unique_ptr<char[]> blocks[4];
    std::size_t count = 0;
};

// Never destroyed: a buffer that ends during the exit of the process still finds it.
SpareBlocks& spare_blocks() {
    static auto* spare = new SpareBlocks;
    return *spare;
}

}  // namespace

file_buffer::~file_buffer() {
    if (owned && descriptor >= 0) {
        close(descriptor);
    }
    if (block && block_capacity == standard_block_size) {
        spare_blocks().give(std::move(block));
    }
}

void file_buffer::take_block(std::size_t size) {
    if (!block || block_capacity != size) {
        if (block && block_capacity == standard_block_size) {
            spare_blocks().give(std::move(block));
        }
        block = size == standard_block_size ? spare_blocks().take() : nullptr;
        if (!block) {
            block.reset(new char[size]);  // not zero-filled
        }
        block_capacity = size;
    }
    setg(block.get(), block.get(), block.get());
}

bool file_buffer::open(const std::string& path, std::size_t block_size) {
    int opened = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (opened < 0) {
        return false;
    }
    struct stat status;
    if (fstat(opened, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(opened);
        return false;
    }
    descriptor = opened;
    owned = true;
    offset_known = true;
    end_offset = 0;
    take_block(block_size);
    return true;
}

void file_buffer::adopt(int adopted, std::size_t block_size) {
    descriptor = adopted;
    owned = false;
    offset_known = false;
    take_block(block_size == 0 ? 1 : block_size);
}

file_buffer::int_type file_buffer::underflow() {
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    if (descriptor < 0 || failed) {
        return traits_type::eof();
    }
    ssize_t count;
    while ((count = ::read(descriptor, block.get(), block_capacity)) < 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        // Only a descriptor we did not open, such as a standard input that the
        // server left in non-blocking mode, says this: no data yet is not the end
        // of the input, so wait for some.
        pollfd ready{descriptor, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
            break;
        }
    }
    if (count < 0) {
        failed = true;
        return traits_type::eof();
    }
    if (count == 0) {
        return traits_type::eof();
    }
    setg(block.get(), block.get(), block.get() + count);
    end_offset += count;
    return traits_type::to_int_type(*gptr());
}

std::streamsize file_buffer::showmanyc() {
    // Nothing beyond the buffer is ever promised: reading ahead could wait.
    return 0;
}

file_buffer::pos_type file_buffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                           std::ios_base::openmode mode) {
    if (descriptor < 0 || !(mode & std::ios_base::in)) {
        return pos_type(off_type(-1));
    }
    off_type target;
    if (direction == std::ios_base::cur) {
        off_type here = offset_known ? end_offset : lseek(descriptor, 0, SEEK_CUR);
        if (here < 0) {
            return pos_type(off_type(-1));
        }
        target = here - (egptr() - gptr()) + offset;
    } else if (direction == std::ios_base::beg) {
        target = offset;
    } else {
        off_type end = lseek(descriptor, 0, SEEK_END);
        if (end < 0) {
            return pos_type(off_type(-1));
        }
        target = end + offset;
    }
    // Back to the start of a file after a look at its first line, for instance:
    // the bytes are in hand. (A seek from the end has moved the descriptor.)
    off_type block_start = end_offset - (egptr() - eback());
    if (offset_known && direction != std::ios_base::end && target >= block_start &&
        target <= end_offset) {
        setg(eback(), eback() + (target - block_start), egptr());
        return pos_type(target);
    }
    off_type reached = lseek(descriptor, target, SEEK_SET);
    if (reached < 0) {
        return pos_type(off_type(-1));
    }
    setg(block.get(), block.get(), block.get());
    end_offset = reached;
    return pos_type(reached);
}

file_buffer::pos_type file_buffer::seekpos(pos_type position, std::ios_base::openmode mode) {
    return seekoff(off_type(position), std::ios_base::beg, mode);
}

ifstream::ifstream(const std::string& path) : std::istream(nullptr) {
    bool opened = buffer.open(path);
    rdbuf(&buffer);
    if (!opened) {
        setstate(std::ios_base::failbit);
    }
}

}  // namespace kel
