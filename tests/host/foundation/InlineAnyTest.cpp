#include "host/foundation/InlineAny.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "host/preferences/PSSpecifier.h"

namespace {

// Counts live instances, so that every copy, move and reset is seen to construct and destroy
// exactly once. The big one does not fit in place and lives on the heap.
struct Counted {
    static inline int alive = 0;
    int value;
    explicit Counted(int v) : value(v) { ++alive; }
    Counted(const Counted& other) noexcept : value(other.value) { ++alive; }
    Counted(Counted&& other) noexcept : value(other.value) { ++alive; }
    ~Counted() { --alive; }
};
struct BigCounted : Counted {
    using Counted::Counted;
    std::array<char, 64> padding{};
};

template <class T>
class InlineAnyLifetime : public ::testing::Test {};
using Holders = ::testing::Types<Counted, BigCounted>;
TYPED_TEST_SUITE(InlineAnyLifetime, Holders);

TYPED_TEST(InlineAnyLifetime, CopiesMovesAndResetsConstructAndDestroyOnce) {
    Counted::alive = 0;
    {
        InlineAny a = TypeParam(7);
        EXPECT_EQ(Counted::alive, 1);
        InlineAny copy = a;
        EXPECT_EQ(Counted::alive, 2);
        ASSERT_NE(copy.get<TypeParam>(), nullptr);
        EXPECT_NE(copy.get<TypeParam>(), a.get<TypeParam>());  // a copy, not a shared value
        EXPECT_EQ(copy.get<TypeParam>()->value, 7);

        InlineAny moved = std::move(a);
        EXPECT_FALSE(a.has_value());
        EXPECT_EQ(Counted::alive, 2);
        EXPECT_EQ(moved.get<TypeParam>()->value, 7);

        copy = moved;  // replaces: the old value goes
        EXPECT_EQ(Counted::alive, 2);
        moved = std::string("text");
        EXPECT_EQ(Counted::alive, 1);
        EXPECT_EQ(*moved.get<std::string>(), "text");
        copy = std::move(copy);  // self-move keeps the value
        EXPECT_EQ(copy.get<TypeParam>()->value, 7);
        copy.reset();
        EXPECT_EQ(Counted::alive, 0);
        copy = TypeParam(9);
    }
    EXPECT_EQ(Counted::alive, 0);
}

TEST(InlineAny, AnswersOnlyForTheTypeItHolds) {
    InlineAny empty;
    EXPECT_FALSE(empty.has_value());
    EXPECT_EQ(empty.get<int>(), nullptr);

    InlineAny text = std::string("BytarnEntryCell");
    EXPECT_EQ(text.get<int>(), nullptr);
    EXPECT_EQ(text.get<const char*>(), nullptr);
    ASSERT_NE(text.get<std::string>(), nullptr);
    EXPECT_EQ(text.type(), typeid(std::string));

    // A shared pointer is held as the very pointer: the object is shared, not copied.
    auto object = std::make_shared<int>(5);
    InlineAny held = object;
    EXPECT_EQ(object.use_count(), 2);
    EXPECT_EQ(held.get<std::shared_ptr<int>>()->get(), object.get());
    EXPECT_EQ(held.get<std::shared_ptr<const int>>(), nullptr);
    held.reset();
    EXPECT_EQ(object.use_count(), 1);
}

TEST(InlineAny, RowPropertiesReplaceAndRemoveByKey) {
    PSSpecifier row;
    auto image = std::make_shared<int>(1);
    row.setProperty(std::string("first"), "id");
    row.setProperty(image, "iconImage");
    row.setProperty(Value(int64_t{3}), "default");
    row.setProperty(std::string("second"), "id");
    EXPECT_EQ(row.identifier(), "second");
    ASSERT_NE(row.identifierIfString(), nullptr);
    EXPECT_EQ(*row.identifierIfString(), "second");
    EXPECT_EQ(row.valueProperty("default"), Value(int64_t{3}));

    row.removePropertyForKey("iconImage");
    EXPECT_EQ(row.propertyForKey("iconImage"), nullptr);
    EXPECT_EQ(image.use_count(), 1);  // the row let go of the image
    EXPECT_EQ(row.identifier(), "second");

    row.setProperty(Value("as value"), "id");
    EXPECT_EQ(row.identifierIfString(), nullptr);  // held as a plist value, not a string
    EXPECT_EQ(row.identifier(), "as value");
}

}  // namespace
