// Ownership rings: the object dies exactly once, with its last handle.
#include "shared_handle.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "exception.h"

namespace {

struct Counted {
    explicit Counted(int* deaths) : deaths(deaths) {}
    ~Counted() { ++*deaths; }
    int* deaths;
};

template <typename Handle>
class HandleTest : public ::testing::Test {};
using HandleKinds = ::testing::Types<ptr<Counted>, thread_safe_ptr<Counted>>;
TYPED_TEST_SUITE(HandleTest, HandleKinds);

TYPED_TEST(HandleTest, LastOfThreeCopiesDeletesTheObjectOnce) {
    int deaths = 0;
    auto* first = new TypeParam(new Counted(&deaths));
    auto* second = new TypeParam(*first);
    auto* third = new TypeParam(*second);
    EXPECT_FALSE(first->is_unique());
    delete second;
    delete first;
    EXPECT_EQ(deaths, 0);
    EXPECT_TRUE(third->is_unique());
    delete third;
    EXPECT_EQ(deaths, 1);
}

TYPED_TEST(HandleTest, CopyOfNullHandleIsNullAndOutsideAnyRing) {
    TypeParam empty;
    TypeParam copy(empty);
    EXPECT_TRUE(copy.is_null());
    EXPECT_TRUE(copy.is_unique());
}

TYPED_TEST(HandleTest, SelfAssignmentChangesNothing) {
    int deaths = 0;
    TypeParam handle(new Counted(&deaths));
    TypeParam& same = handle;
    handle = same;
    EXPECT_EQ(deaths, 0);
    EXPECT_FALSE(handle.is_null());
}

TYPED_TEST(HandleTest, AssigningOverTheLastOwnerDeletesItsObjectFirst) {
    int old_deaths = 0, new_deaths = 0;
    TypeParam target(new Counted(&old_deaths));
    TypeParam source(new Counted(&new_deaths));
    target = source;
    EXPECT_EQ(old_deaths, 1);
    EXPECT_EQ(target.get(), source.get());
    EXPECT_EQ(new_deaths, 0);
}

// An object that holds handles of its own type, released under the handle lock.
struct Node {
    std::vector<thread_safe_ptr<Node>> children;
    int* deaths;
    explicit Node(int* deaths) : deaths(deaths) {}
    ~Node() { ++*deaths; }
};

TEST(ThreadSafeHandle, ReleasingNestedHandlesUnderTheLockDoesNotBlock) {
    int deaths = 0;
    {
        thread_safe_ptr<Node> root(new Node(&deaths));
        thread_safe_ptr<Node> child(new Node(&deaths));
        child->children.push_back(thread_safe_ptr<Node>(new Node(&deaths)));
        root->children.push_back(child);
    }
    EXPECT_EQ(deaths, 3);
}

TEST(ThreadSafeHandle, CopiesMadeAndDroppedOnManyThreadsReleaseOnce) {
    int deaths = 0;
    {
        thread_safe_ptr<Counted> shared(new Counted(&deaths));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&shared] {
                for (int i = 0; i < 20000; ++i) {
                    thread_safe_ptr<Counted> copy(shared);
                    thread_safe_ptr<Counted> other;
                    other = copy;
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(deaths, 0);
    }
    EXPECT_EQ(deaths, 1);
}

TEST(Exception, KeepsMessageAndCode) {
    kel::Exception empty("", 0);
    EXPECT_STREQ(empty.what(), "");
    kel::Exception failure("unhandled exception request", 7);
    EXPECT_STREQ(failure.what(), "unhandled exception request");
    EXPECT_EQ(failure.message(), "unhandled exception request");
    EXPECT_EQ(failure.code(), 7);
}

}  // namespace
