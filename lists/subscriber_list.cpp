// Block storage for the addresses and the sorted entry array.
#include "subscriber_list.h"

#include <algorithm>
#include <functional>

namespace {

constexpr size_t first_block_bytes = 256;
constexpr size_t largest_block_bytes = size_t{1} << 20;

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
    if (blocks.empty() || blocks.back().capacity() - blocks.back().size() < address.size()) {
        size_t room = blocks.empty() ? first_block_bytes
                                     : std::min(blocks.back().capacity() * 2, largest_block_bytes);
        blocks.emplace_back();
        blocks.back().reserve(std::max(room, address.size()));
    }
    std::string& block = blocks.back();
    uint64_t place = (static_cast<uint64_t>(blocks.size() - 1) << 32) | block.size();
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

void SubscriberList::finish() {
    std::sort(entries.begin(), entries.end(), [this](const Entry& left, const Entry& right) {
        if (left.hash != right.hash) {
            return left.hash < right.hash;
        }
        int order = address_of(left).compare(address_of(right));
        return order != 0 ? order < 0 : left.place < right.place;
    });
    // Equal addresses now stand together, the first added in front.
    auto last =
        std::unique(entries.begin(), entries.end(), [this](const Entry& kept, const Entry& next) {
            return kept.hash == next.hash && address_of(kept) == address_of(next);
        });
    entries.erase(last, entries.end());
    if (entries.capacity() - entries.size() > entries.size() / 8) {
        entries.shrink_to_fit();
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

void SubscriberList::reserve(size_t expected) {
    entries.reserve(expected);
}

void SubscriberList::clear() {
    blocks = std::vector<std::string>();
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
