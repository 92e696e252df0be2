// The compact subscriber store against a plain map, through growth and collisions.
#include "subscriber_list.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

TEST(SubscriberList, AgreesWithAMapThroughGrowth) {
    std::mt19937 random(4);
    std::map<std::string, bool> expected;
    SubscriberList list;
    for (int i = 0; i < 20000; ++i) {
        // Short names repeat often, so first-entry-wins is exercised too.
        std::string address = "u" + std::to_string(random() % 15000) + "@example.org";
        bool may_post = random() % 3 != 0;
        bool fresh = expected.emplace(address, may_post).second;
        ASSERT_EQ(list.insert(address, may_post), fresh) << address;
    }
    EXPECT_EQ(list.size(), expected.size());
    for (int i = 0; i < 15000; ++i) {
        std::string address = "u" + std::to_string(i) + "@example.org";
        auto found = expected.find(address);
        Subscription want = found == expected.end() ? Subscription::NotSubscribed
                            : found->second         ? Subscription::MayPost
                                                    : Subscription::MayNotPost;
        ASSERT_EQ(list.find(address), want) << address;
    }
}

TEST(SubscriberList, TellsPrefixesAndEmptyAddressesApart) {
    SubscriberList list;
    EXPECT_EQ(list.find("a@b"), Subscription::NotSubscribed);
    EXPECT_TRUE(list.insert("a@b.c", false));
    EXPECT_FALSE(list.insert("", true));
    EXPECT_EQ(list.find("a@b"), Subscription::NotSubscribed);
    EXPECT_EQ(list.find("a@b.cd"), Subscription::NotSubscribed);
    EXPECT_EQ(list.find(""), Subscription::NotSubscribed);
    EXPECT_EQ(list.find("a@b.c"), Subscription::MayNotPost);
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.find("a@b.c"), Subscription::NotSubscribed);
}

}  // namespace
