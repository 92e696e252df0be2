// Open addressing with linear probing over a power-of-two table, kept at most three
// quarters full. The stored hash lets most mismatches be decided without touching
// the address bytes.
#include "subscriber_list.h"

#include <functional>

namespace {

constexpr size_t initial_slots = 16;

}  // namespace

uint32_t SubscriberList::hash_of(std::string_view address) {
    uint64_t full = std::hash<std::string_view>{}(address);
    return static_cast<uint32_t>(full ^ (full >> 32));
}

std::string_view SubscriberList::address_of(const Slot& slot) const {
    return std::string_view(addresses).substr(slot.offset, slot.length_and_right & length_mask);
}

size_t SubscriberList::probe(std::string_view address, uint32_t hash) const {
    size_t mask = slots.size() - 1;
    size_t index = hash & mask;
    while (true) {
        const Slot& slot = slots[index];
        if (slot.length_and_right == 0) {
            return index;
        }
        if (slot.hash == hash && address_of(slot) == address) {
            return index;
        }
        index = (index + 1) & mask;
    }
}

void SubscriberList::grow() {
    std::vector<Slot> old = std::move(slots);
    slots.assign(old.empty() ? initial_slots : old.size() * 2, Slot{});
    size_t mask = slots.size() - 1;
    for (const Slot& slot : old) {
        if (slot.length_and_right == 0) {
            continue;
        }
        size_t index = slot.hash & mask;
        while (slots[index].length_and_right != 0) {
            index = (index + 1) & mask;
        }
        slots[index] = slot;
    }
}

bool SubscriberList::insert(std::string_view address, bool may_post) {
    if (address.empty() || address.size() > length_mask) {
        return false;
    }
    if ((count + 1) * 4 > slots.size() * 3) {
        grow();
    }
    uint32_t hash = hash_of(address);
    Slot& slot = slots[probe(address, hash)];
    if (slot.length_and_right != 0) {
        return false;
    }
    slot.offset = addresses.size();
    slot.length_and_right = static_cast<uint32_t>(address.size()) | (may_post ? may_post_bit : 0);
    slot.hash = hash;
    addresses.append(address);
    ++count;
    return true;
}

Subscription SubscriberList::find(std::string_view address) const {
    if (count == 0 || address.empty()) {
        return Subscription::NotSubscribed;
    }
    const Slot& slot = slots[probe(address, hash_of(address))];
    if (slot.length_and_right == 0) {
        return Subscription::NotSubscribed;
    }
    return (slot.length_and_right & may_post_bit) != 0 ? Subscription::MayPost
                                                       : Subscription::MayNotPost;
}

void SubscriberList::clear() {
    addresses = std::string();
    slots = std::vector<Slot>();
    count = 0;
}

void SubscriberList::shrink_to_fit() {
    addresses.shrink_to_fit();
}

size_t SubscriberList::memory_bytes() const {
    size_t address_room = addresses.capacity() > 15 ? addresses.capacity() + 1 : 0;
    return address_room + slots.capacity() * sizeof(Slot);
}
