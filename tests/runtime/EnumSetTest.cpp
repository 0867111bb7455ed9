// Option sets held in one byte: which bit a member takes, the byte a set is read back from, and
// the set arithmetic the settings use to add and take away options.
#include "runtime/EnumSet.h"

#include <gtest/gtest.h>

namespace
{

enum TFour : uint8_t { fA, fB, fC, fD };
enum TTwo : uint8_t { tA, tB };
enum TEight : uint8_t { eA, eB, eC, eD, eE, eF, eG, eH };

using TFourSet = TEnumSet<TFour, fD>;
using TTwoSet = TEnumSet<TTwo, tB>;
using TEightSet = TEnumSet<TEight, eH>;

} // namespace

TEST(EnumSet, EachMemberTakesTheBitOfItsOrdinal)
{
    static_assert(sizeof(TFourSet) == 1);
    EXPECT_TRUE(TFourSet{}.Empty());
    EXPECT_EQ(TFourSet{}.Bits(), 0);
    EXPECT_EQ((TFourSet{fA}.Bits()), 0x01);
    EXPECT_EQ((TFourSet{fD}.Bits()), 0x08);
    EXPECT_EQ((TFourSet{fA, fC, fC}.Bits()), 0x05) << "a member named twice is in the set once";
    EXPECT_EQ((TEightSet{eA, eH}.Bits()), 0x81);
    const TFourSet set{fB, fD};
    EXPECT_FALSE(set.Empty());
    EXPECT_TRUE(set.Contains(fB));
    EXPECT_TRUE(set.Contains(fD));
    EXPECT_FALSE(set.Contains(fA));
    EXPECT_FALSE(set.Contains(fC));
}

TEST(EnumSet, FromBitsKeepsOnlyTheMembersBits)
{
    EXPECT_EQ(TFourSet::FromBits(0xFF).Bits(), 0x0F);
    EXPECT_EQ(TTwoSet::FromBits(0xFF).Bits(), 0x03);
    EXPECT_EQ(TTwoSet::FromBits(0xFC), TTwoSet{});
    EXPECT_EQ(TEightSet::FromBits(0xFF).Bits(), 0xFF) << "a set of eight members fills the byte";
    EXPECT_EQ(TFourSet::FromBits(0x0A), (TFourSet{fB, fD}));
}

TEST(EnumSet, AddingAndTakingAway)
{
    const TFourSet set{fA, fC};
    EXPECT_EQ(set + fB, (TFourSet{fA, fB, fC}));
    EXPECT_EQ(set + fA, set) << "adding a member already there changes nothing";
    EXPECT_EQ(set - fC, TFourSet{fA});
    EXPECT_EQ(set - fD, set) << "taking away a member not there changes nothing";
    EXPECT_EQ((set + TFourSet{fC, fD}), (TFourSet{fA, fC, fD}));
    EXPECT_EQ((set - TFourSet{fC, fD}), TFourSet{fA});
    EXPECT_TRUE((set - set).Empty());
    EXPECT_NE(set, TFourSet{fA});
}
