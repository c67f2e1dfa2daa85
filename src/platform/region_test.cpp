#include "platform/region.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <system_error>
#include <utility>

namespace vaskel::platform {
namespace {

bool nameExists(const NativeString& name) {
    return static_cast<bool>(Region::open(name));
}

// Who removes the name: the creating side when it lets go, never an opener, a moved-from region
// or a create that found the name taken.
TEST(Region, OnlyTheCreatingSideRemovesTheName) {
    const NativeString name = testing::uniqueRegionName("owner");
    {
        ErrorOr<Region> made = Region::create(name, 8192);
        ASSERT_TRUE(made) << made.error().message();
        Region created = std::move(*made);
        ASSERT_FALSE(created.map(8192));
        created.data()[100] = std::byte{42};
        {
            ErrorOr<Region> opened = Region::open(name);
            ASSERT_TRUE(opened);
            ASSERT_FALSE(opened->map(4096));
            EXPECT_EQ(opened->data()[100], std::byte{42});
            // No view longer than the region, and a failed map leaves none.
            EXPECT_TRUE(opened->map(8193));
            EXPECT_EQ(opened->data(), nullptr);
            EXPECT_EQ(opened->size(), 0u);
        }
        EXPECT_TRUE(nameExists(name)) << "an opener removed the name";

        const ErrorOr<Region> twice = Region::create(name, 4096);
        EXPECT_FALSE(twice);
        EXPECT_EQ(twice.error(), std::errc::file_exists) << twice.error().message();
        EXPECT_TRUE(nameExists(name)) << "a refused create removed someone else's name";

        // Moving hands the name on: the source is empty and removes nothing when it goes.
        Region moved;
        {
            Region source = std::move(created);
            moved = std::move(source);
            EXPECT_FALSE(source);
            EXPECT_EQ(source.data(), nullptr);
            EXPECT_EQ(source.size(), 0u);
        }
        EXPECT_FALSE(created);
        ASSERT_TRUE(moved);
        EXPECT_EQ(moved.size(), 8192u);
        EXPECT_EQ(moved.data()[100], std::byte{42});
        EXPECT_TRUE(nameExists(name)) << "a moved-from region removed the name";

        // Assigning over a region releases what it held, name included.
        const NativeString other = testing::uniqueRegionName("replaced");
        ErrorOr<Region> replaced = Region::create(other, 4096);
        ASSERT_TRUE(replaced);
        *replaced = std::move(moved);
        EXPECT_FALSE(nameExists(other));
        EXPECT_TRUE(nameExists(name));
    }
    EXPECT_FALSE(nameExists(name)) << "the creating side left its name behind";
}

} // namespace
} // namespace vaskel::platform
