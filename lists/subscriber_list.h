// The subscribers of one list: folded address to posting right. Built once from a
// subscriber file, then only looked up, so it is laid out for size: every address
// is stored once in one block of bytes, and an open-addressing table of 16-byte
// slots points into it. A list of a million subscribers costs the address bytes
// plus about 22 to 43 bytes each.
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
    // Adds the address unless it is already there (the first entry decides); false
    // when it was there. The address is stored as given: callers fold it first.
    bool insert(std::string_view address, bool may_post);
    Subscription find(std::string_view address) const;

    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    void clear();
    // Gives back the room reserved for growth; for a list that is complete.
    void shrink_to_fit();
    // Bytes held on the heap by this list, the address bytes included.
    size_t memory_bytes() const;

  private:
    struct Slot {
        uint64_t offset = 0;
        // Address length in the low 31 bits, the posting right in the top bit; 0
        // marks a free slot (an address is never empty).
        uint32_t length_and_right = 0;
        uint32_t hash = 0;
    };
    static constexpr uint32_t may_post_bit = 0x80000000u;
    static constexpr uint32_t length_mask = 0x7fffffffu;

    static uint32_t hash_of(std::string_view address);
    std::string_view address_of(const Slot& slot) const;
    // The slot holding the address, or the free slot where it belongs.
    size_t probe(std::string_view address, uint32_t hash) const;
    void grow();

    std::string addresses;
    std::vector<Slot> slots;
    size_t count = 0;
};
