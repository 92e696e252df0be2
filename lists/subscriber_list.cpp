// Block storage for the addresses and the sorted entry array. The sort is a radix
// sort on the 32-bit hash: one pass in place on its top byte, then each of the 256
// parts on the lower bytes through a scratch array the size of the largest part, so
// a large list needs no second copy of its entries. Entries of equal hash are then
// ordered by address and place: only those runs are compared byte for byte, and
// they are sorted, so a list built to collide costs n log n compares at most.
#include "subscriber_list.h"

#include <algorithm>
#include <array>
#include <functional>
#include <memory>

namespace {

constexpr size_t first_block_bytes = 256;
constexpr size_t largest_block_bytes = size_t{1} << 20;
// Fewer entries than this, in the whole list or in one part, are sorted by
// comparison: counting would cost more.
constexpr size_t radix_sort_from = 4096;
constexpr size_t radix_sort_part_from = 64;

}  // namespace

uint32_t SubscriberList::hash_of(std::string_view address) {
    uint64_t full = std::hash<std::string_view>{}(address);
    return static_cast<uint32_t>(full ^ (full >> 32));
}

std::string_view SubscriberList::address_of(const Entry& entry) const {
    const std::string& block = blocks[entry.place >> 32];
    return std::string_view(block).substr(entry.place & 0xffffffffu,
                                          entry.length_and_right & length_mask);
}

bool SubscriberList::before(const Entry& entry, uint32_t hash, std::string_view address) const {
    if (entry.hash != hash) {
        return entry.hash < hash;
    }
    return address_of(entry) < address;
}

uint64_t SubscriberList::store(std::string_view address) {
    if (used_blocks == 0 ||
        blocks[used_blocks - 1].capacity() - blocks[used_blocks - 1].size() < address.size()) {
        size_t room = used_blocks == 0
                          ? first_block_bytes
                          : std::min(blocks[used_blocks - 1].capacity() * 2, largest_block_bytes);
        if (used_blocks == blocks.size()) {
            blocks.emplace_back();
        }
        // A block kept from an earlier build is written over; reserve never
        // shrinks it and allocates only when it is too small.
        blocks[used_blocks].clear();
        blocks[used_blocks].reserve(std::max(room, address.size()));
        ++used_blocks;
    }
    std::string& block = blocks[used_blocks - 1];
    uint64_t place = (static_cast<uint64_t>(used_blocks - 1) << 32) | block.size();
    block.append(address);
    return place;
}

void SubscriberList::add(std::string_view address, bool may_post) {
    if (address.empty() || address.size() > length_mask) {
        return;
    }
    Entry entry;
    entry.hash = hash_of(address);
    entry.length_and_right = static_cast<uint32_t>(address.size()) | (may_post ? may_post_bit : 0);
    entry.place = store(address);
    entries.push_back(entry);
}

namespace {

// Sorts `count` entries at `first` by the lower three bytes of their hash, least
// significant first; each pass is stable, and a byte that all share is skipped.
template <typename Entry>
void sort_by_low_bytes(Entry* first, size_t count, Entry* scratch) {
    Entry* from = first;
    Entry* to = scratch;
    for (int shift = 0; shift < 24; shift += 8) {
        std::array<size_t, 257> start{};
        for (size_t i = 0; i < count; ++i) {
            ++start[((from[i].hash >> shift) & 0xff) + 1];
        }
        if (*std::max_element(start.begin(), start.end()) == count) {
            continue;
        }
        for (size_t digit = 0; digit < 256; ++digit) {
            start[digit + 1] += start[digit];
        }
        for (size_t i = 0; i < count; ++i) {
            to[start[(from[i].hash >> shift) & 0xff]++] = from[i];
        }
        std::swap(from, to);
    }
    if (from != first) {
        std::copy(from, from + count, first);
    }
}

}  // namespace

void SubscriberList::sort_entries() {
    const size_t count = entries.size();
    auto by_hash = [](const Entry& left, const Entry& right) { return left.hash < right.hash; };
    if (count < radix_sort_from) {
        std::sort(entries.begin(), entries.end(), by_hash);
        return;
    }
    // In place by the top byte: each entry is swapped straight into its part.
    std::array<size_t, 257> start{};
    for (const Entry& entry : entries) {
        ++start[(entry.hash >> 24) + 1];
    }
    for (size_t part = 0; part < 256; ++part) {
        start[part + 1] += start[part];
    }
    std::array<size_t, 256> next;
    std::copy(start.begin(), start.end() - 1, next.begin());
    size_t largest = 0;
    for (size_t part = 0; part < 256; ++part) {
        largest = std::max(largest, start[part + 1] - start[part]);
        while (next[part] < start[part + 1]) {
            Entry moving = entries[next[part]];
            size_t home = moving.hash >> 24;
            while (home != part) {
                std::swap(moving, entries[next[home]++]);
                home = moving.hash >> 24;
            }
            entries[next[part]++] = moving;
        }
    }
    auto scratch = std::make_unique<Entry[]>(largest);
    for (size_t part = 0; part < 256; ++part) {
        Entry* first = entries.data() + start[part];
        const size_t size = start[part + 1] - start[part];
        if (size < radix_sort_part_from) {
            std::sort(first, first + size, by_hash);
        } else {
            sort_by_low_bytes(first, size, scratch.get());
        }
    }
}

void SubscriberList::order_equal_hashes() {
    auto run = entries.begin();
    while (run != entries.end()) {
        auto end = std::find_if(run + 1, entries.end(),
                                [&](const Entry& entry) { return entry.hash != run->hash; });
        if (end - run > 1) {
            std::sort(run, end, [this](const Entry& left, const Entry& right) {
                int order = address_of(left).compare(address_of(right));
                return order != 0 ? order < 0 : left.place < right.place;
            });
        }
        run = end;
    }
}

void SubscriberList::finish() {
    const size_t added = entries.size();
    sort_entries();
    order_equal_hashes();
    // Equal addresses now stand together, the first added in front.
    auto last =
        std::unique(entries.begin(), entries.end(), [this](const Entry& kept, const Entry& next) {
            return kept.hash == next.hash && address_of(kept) == address_of(next);
        });
    entries.erase(last, entries.end());
    // Blocks the previous build used beyond this one's are given back.
    blocks.resize(used_blocks);
    // Keep a little room beyond what this build added, so that the next build after
    // a few lines more fits in place; give back more than that.
    if (entries.capacity() > added + added / 8) {
        std::vector<Entry> kept;
        kept.reserve(added + added / 16);
        kept.assign(entries.begin(), entries.end());
        entries.swap(kept);
    }
}

Subscription SubscriberList::find(std::string_view address) const {
    uint32_t hash = hash_of(address);
    auto found = std::partition_point(entries.begin(), entries.end(), [&](const Entry& entry) {
        return before(entry, hash, address);
    });
    if (found == entries.end() || found->hash != hash || address_of(*found) != address) {
        return Subscription::NotSubscribed;
    }
    return (found->length_and_right & may_post_bit) != 0 ? Subscription::MayPost
                                                         : Subscription::MayNotPost;
}

void SubscriberList::start_over() {
    entries.clear();
    used_blocks = 0;
}

void SubscriberList::clear() {
    blocks = std::vector<std::string>();
    used_blocks = 0;
    entries = std::vector<Entry>();
}

size_t SubscriberList::memory_bytes() const {
    size_t bytes = blocks.capacity() * sizeof(std::string) + entries.capacity() * sizeof(Entry);
    for (const std::string& block : blocks) {
        bytes += block.capacity() + 1;
    }
    return bytes;
}

size_t SubscriberList::posting_count() const {
    return static_cast<size_t>(std::count_if(
        entries.begin(), entries.end(),
        [](const Entry& entry) { return (entry.length_and_right & may_post_bit) != 0; }));
}
