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

TEST(SubscriberList, AgreesWithAMapAndTheFirstEntryWins) {
    std::mt19937 random(4);
    std::map<std::string, bool> model;
    SubscriberList list;
    for (int i = 0; i < 20000; ++i) {
        // Names repeat often, and long ones spill over several blocks.
        std::string address = "u" + std::to_string(random() % 15000) + "@example.org";
        if (i % 1000 == 0) {
            address = std::string(5000 + i, 'x') + address;
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
    for (int i = 0; i < 15000; ++i) {
        std::string address = "u" + std::to_string(i) + "@example.org";
        ASSERT_EQ(list.find(address), expected_for(model, address)) << address;
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
