// The sharing rules of settings values: copies share one payload, subscripting
// inserts, lookups do not, and nested values live as long as their container.
#include "data_set.h"

#include <gtest/gtest.h>

namespace {

TEST(DataSetTest, CopiesShareOnePayloadWithoutCopyOnWrite) {
    cgp::DataSet list(cgp::Array);
    cgp::DataSet copy = list;
    copy.append(cgp::DataSet(std::string("x")));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.at(0).text(), "x");

    cgp::DataSet assigned;
    assigned = list;
    assigned["k"] = cgp::DataSet(std::string("v"));
    ASSERT_NE(list.find("k"), nullptr);

    // Neither assigning a handle that already shares the payload nor self-assignment
    // may drop it.
    cgp::DataSet& same = assigned;
    assigned = list;
    assigned = same;
    EXPECT_EQ(assigned.get(), list.get());
    EXPECT_EQ(list.at(0).text(), "x");
}

TEST(DataSetTest, SubscriptInsertsEmptyAndFindDoesNot) {
    cgp::DataSet settings(cgp::Dictionary);
    EXPECT_EQ(settings.find("Postings"), nullptr);
    EXPECT_EQ(settings.find("Postings"), nullptr);  // find left nothing behind
    EXPECT_EQ(settings["Postings"].text(), "");
    const cgp::DataSet* left = settings.find("Postings");
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->kind(), cgp::Empty);
}

TEST(DataSetTest, KeysAreComparedByteForByte) {
    cgp::DataSet settings(cgp::Dictionary);
    settings["DomainName"] = cgp::DataSet(std::string("example.com"));
    settings[std::string("a\0b", 3)] = cgp::DataSet(std::string("first"));
    settings[std::string("a\0c", 3)] = cgp::DataSet(std::string("second"));
    EXPECT_EQ(settings.find("domainname"), nullptr);
    ASSERT_NE(settings.find(std::string("a\0b", 3)), nullptr);
    EXPECT_EQ(settings.find(std::string("a\0b", 3))->text(), "first");
    EXPECT_EQ(settings.find(std::string("a\0c", 3))->text(), "second");
    EXPECT_EQ(settings.find("a"), nullptr);
}

TEST(DataSetTest, SubscriptOnOtherKindsUsesTheirOwnEntriesAndKeepsTheKind) {
    for (cgp::DataSetKind kind : {cgp::Empty, cgp::String, cgp::Array, cgp::Data}) {
        cgp::DataSet value(kind);
        EXPECT_EQ(value["Owner"].kind(), cgp::Empty) << "kind " << kind;
        EXPECT_EQ(value.kind(), kind);
        EXPECT_NE(value.find("Owner"), nullptr) << "kind " << kind;
    }
}

TEST(DataSetTest, StoredValueOutlivesItsOtherHandles) {
    cgp::DataSet settings(cgp::Dictionary);
    {
        cgp::DataSet owner(std::string("boss"));
        settings["Owner"] = owner;
        cgp::DataSet members(cgp::Array);
        members.append(owner);
        settings["Members"] = members;
    }
    EXPECT_EQ(settings["Owner"].text(), "boss");
    EXPECT_TRUE(settings["Members"].is_unique());
    EXPECT_EQ(settings["Members"].at(0).text(), "boss");
    settings["Owner"] = cgp::DataSet();  // replacing drops one of the two handles
    EXPECT_EQ(settings["Members"].at(0).text(), "boss");
}

// Released one stack frame per level, a value nested this deep would overflow the stack.
TEST(DataSetTest, DeeplyNestedValueIsReleasedWithoutRecursion) {
    cgp::DataSet outer(cgp::Array);
    cgp::DataSet innermost = outer;
    for (int level = 0; level < 100000; ++level) {
        cgp::DataSet inner(level % 2 == 0 ? cgp::Array : cgp::Dictionary);
        if (innermost.kind() == cgp::Array) {
            innermost.append(inner);
        } else {
            innermost["k"] = inner;
        }
        innermost = inner;
    }
    innermost = cgp::DataSet();
    outer = cgp::DataSet();
    SUCCEED();
}

}  // namespace
