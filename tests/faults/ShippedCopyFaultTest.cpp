// What the install finds in the application folder. The destination holds
// an installed copy (fixture_both_false) that is different from anything shipped.
#include "tests/faults/FaultHarness.h"

namespace quorvex::faults {
namespace {

using enum Command;

class ShippedCopyFaults : public FaultTest {
  protected:
    void SetUp() override {
        FaultTest::SetUp();
        if (!HasFatalFailure()) {
            Place(L"fixture_both_false", installed);
        }
    }
};

TEST_F(ShippedCopyFaults, Missing) {
    ASSERT_TRUE(DeleteFileW(shipped.c_str()));
    Expect(Run("shipped copy missing: install", Install, dest));
    Expect(Run("shipped copy missing: uninstall", Uninstall, dest));
}

TEST_F(ShippedCopyFaults, NotALibrary) {
    WriteBytes(shipped, "MZ but not a library at all");
    Expect(Run("shipped copy not a library: install", Install, dest));
}

// Files copied from a CD are read-only. Each install's copy must still be
// replaceable by the next one, from the next CD.
TEST_F(ShippedCopyFaults, ReadOnlyLikeFromACd) {
    ASSERT_TRUE(SetFileAttributesW(shipped.c_str(), FILE_ATTRIBUTE_READONLY));
    Expect(Run("shipped copy read-only: install", Install, dest));

    Ship(L"fixture_failing");
    ASSERT_TRUE(SetFileAttributesW(shipped.c_str(), FILE_ATTRIBUTE_READONLY));
    Expect(Run("shipped copy read-only: install over the last one", Install, dest));
    EXPECT_EQ(ReadFileBytes(installed), FixtureBytes(L"fixture_failing"))
        << "the next read-only version did not replace the installed copy";
}

}  // namespace
}  // namespace quorvex::faults
