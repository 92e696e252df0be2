// The subscribers of one list: folded address to posting right. Built from a
// subscriber file, then only looked up, so it is laid out for size and for a fast
// build: the addresses are packed into a few large blocks, and one sorted array of
// 16-byte entries points into them. Building is sequential (append, then one
// sort); a lookup is a binary search. The order does not depend on the hash alone,
// so addresses chosen to collide cost a compare each, never a quadratic scan.
// A rebuild writes over the storage of the previous build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class Subscription {
    NotSubscribed,
    MayPost,
    MayNotPost,
};

class SubscriberList {
  public:
    // Adds an entry; when an address is added more than once, its first entry
    // decides. The address is stored as given: callers fold it first. An empty
    // address is never stored. REQUIRES: finish() before the next find().
    void add(std::string_view address, bool may_post);
    // Orders the entries for lookup and drops the later duplicates.
    void finish();
    Subscription find(std::string_view address) const;

    // Empties the list for a new build but keeps its storage: a list read again
    // after a small change writes over memory it already holds, instead of giving
    // it back and asking for as much again.
    void start_over();
    // Empties the list and gives its storage back.
    void clear();

    // Distinct addresses, once finished.
    size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }
    // Distinct addresses that may post, once finished.
    size_t posting_count() const;
    // Bytes held on the heap by this list, the address bytes included.
    size_t memory_bytes() const;

  private:
    struct Entry {
        uint32_t hash = 0;
        // Address length in the low 31 bits, the posting right in the top bit.
        uint32_t length_and_right = 0;
        // Block number in the high 32 bits, position in the block in the low ones;
        // grows with every entry added, so it also records the order of the file.
        uint64_t place = 0;
    };
    static constexpr uint32_t may_post_bit = 0x80000000u;
    static constexpr uint32_t length_mask = 0x7fffffffu;

    static uint32_t hash_of(std::string_view address);
    std::string_view address_of(const Entry& entry) const;
    // Ordered by hash, then address bytes.
    bool before(const Entry& entry, uint32_t hash, std::string_view address) const;
    // Copies the address into the blocks and returns where it went.
    uint64_t store(std::string_view address);
    // Sorts the entries by hash, then address, then place.
    void sort_entries();
    void order_equal_hashes();

    // Each block is filled up to its capacity and never reallocated while in use,
    // so stored addresses never move; blocks double in size up to a limit. The
    // first used_blocks hold this build's addresses; the rest are kept from an
    // earlier build until finish().
    std::vector<std::string> blocks;
    size_t used_blocks = 0;
    std::vector<Entry> entries;
};
