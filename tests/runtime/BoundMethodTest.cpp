// Bound methods: what a call reaches, and when two of them count as the same routine (the rule by
// which a registered handler is found again for its removal).
#include "runtime/BoundMethod.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct TCounter {
    std::string Seen;
    void Add(int value, char tag) { Seen += std::to_string(value) + tag; }
    void Other(int value, char tag) { Seen += "other " + std::to_string(value) + tag; }
};

using TCountMethod = TBoundMethod<int, char>;

} // namespace

TEST(BoundMethod, CallReachesTheMemberOfItsObject)
{
    TCounter first, second;
    TCountMethod method = TCountMethod::Of<&TCounter::Add>(&first);
    ASSERT_TRUE(method);
    method(7, 'a');
    TCountMethod::Of<&TCounter::Add> (&second)(8, 'b');
    EXPECT_EQ(first.Seen, "7a");
    EXPECT_EQ(second.Seen, "8b");
    EXPECT_FALSE(TCountMethod{}) << "an empty method is no handler";
}

TEST(BoundMethod, SameRoutineComparesTheMemberNotTheObject)
{
    TCounter first, second;
    const TCountMethod add = TCountMethod::Of<&TCounter::Add>(&first);
    EXPECT_TRUE(add.SameRoutine(TCountMethod::Of<&TCounter::Add>(&second)));
    EXPECT_TRUE(add.SameRoutine(TCountMethod::Of<&TCounter::Add>(static_cast<TCounter*>(nullptr))));
    EXPECT_FALSE(add.SameRoutine(TCountMethod::Of<&TCounter::Other>(&first)));
    EXPECT_FALSE(add.SameRoutine(TCountMethod{}));
}
