// The compact subscriber store against a plain map.
#include "subscriber_list.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

Subscription expected_for(const std::map<std::string, bool>& model, const std::string& address) {
    auto found = model.find(address);
    if (found == model.end()) {
        return Subscription::NotSubscribed;
    }
    return found->second ? Subscription::MayPost : Subscription::MayNotPost;
}

// One list built again and again over its own storage: large, small, then larger
// than before. The largest build holds enough addresses for a few to share their
// 32-bit hash, so the order among equal hashes is checked as well.
TEST(SubscriberList, AgreesWithAMapAndTheFirstEntryWinsAcrossRebuilds) {
    std::mt19937 random(4);
    SubscriberList list;
    for (int adds : {20000, 50, 300000}) {
        std::map<std::string, bool> model;
        list.start_over();
        for (int i = 0; i < adds; ++i) {
            // Names repeat often, and long ones spill over several blocks.
            std::string address =
                "u" + std::to_string(random() % (adds * 3 / 4 + 1)) + "@example.org";
            if (i % 1000 == 0) {
                address = std::string(5000 + i % 20000, 'x') + address;
            }
            bool may_post = random() % 3 != 0;
            model.emplace(address, may_post);
            list.add(address, may_post);
        }
        list.finish();
        EXPECT_EQ(list.size(), model.size());
        for (const auto& [address, may_post] : model) {
            ASSERT_EQ(list.find(address), expected_for(model, address)) << address;
        }
        for (int i = 0; i < adds; ++i) {
            std::string address = "u" + std::to_string(i) + "@example.org";
            ASSERT_EQ(list.find(address), expected_for(model, address)) << address;
        }
    }
}

TEST(SubscriberList, TellsPrefixesAndEmptyAddressesApart) {
    SubscriberList list;
    list.finish();
    EXPECT_EQ(list.find("a@b"), Subscription::NotSubscribed);
    list.add("a@b.c", false);
    list.add("", true);
    list.finish();
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(list.find("a@b"), Subscription::NotSubscribed);
    EXPECT_EQ(list.find("a@b.cd"), Subscription::NotSubscribed);
    EXPECT_EQ(list.find(""), Subscription::NotSubscribed);
    EXPECT_EQ(list.find("a@b.c"), Subscription::MayNotPost);
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.find("a@b.c"), Subscription::NotSubscribed);
}

}  // namespace
