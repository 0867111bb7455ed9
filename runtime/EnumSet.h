// Sets of enumeration members held in one byte, bit n for the member of ordinal n: the form in
// which the stack's settings keep their option sets.
#pragma once

#include <cstdint>
#include <initializer_list>

/// A set of the members of the enumeration TMember from ordinal 0 up to Last, held in one byte:
/// bit n for the member of ordinal n. Bits above Last are never set.
template <class TMember, TMember Last> class TEnumSet
{
    static_assert(static_cast<unsigned>(Last) < 8, "the set is held in one byte");

public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<TMember> members)
    {
        for (TMember member : members)
            FBits = static_cast<uint8_t>(FBits | Bit(member));
    }
    /// The set a byte stands for; bits above Last are dropped.
    static constexpr TEnumSet FromBits(uint8_t bits)
    {
        TEnumSet set;
        set.FBits = static_cast<uint8_t>(bits & kMembers);
        return set;
    }
    constexpr uint8_t Bits() const { return FBits; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool Contains(TMember member) const { return (FBits & Bit(member)) != 0; }
    constexpr TEnumSet operator+(TMember member) const
    {
        return FromBits(static_cast<uint8_t>(FBits | Bit(member)));
    }
    constexpr TEnumSet operator-(TMember member) const
    {
        return FromBits(static_cast<uint8_t>(FBits & ~Bit(member)));
    }
    constexpr TEnumSet operator+(TEnumSet other) const
    {
        return FromBits(static_cast<uint8_t>(FBits | other.FBits));
    }
    constexpr TEnumSet operator-(TEnumSet other) const
    {
        return FromBits(static_cast<uint8_t>(FBits & ~other.FBits));
    }
    friend constexpr bool operator==(TEnumSet, TEnumSet) = default;

private:
    static constexpr uint8_t kMembers = static_cast<uint8_t>((2u << static_cast<unsigned>(Last)) - 1);
    static constexpr uint8_t Bit(TMember member) { return static_cast<uint8_t>(1u << member); }
    uint8_t FBits = 0;
};
