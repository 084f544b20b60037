// The kit's ownership holders (detail/handles.h): what each lets go, when,
// and how often, with a resource kind that records its closes. The kit's
// routines rely on exactly this: a value closed once on every road out,
// an invalid value never closed, a Reset() closing at the moment it is
// written, and a Release() handing the value over unclosed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <updater_caller/detail/handles.h>

namespace {

std::vector<std::string>& Closed() {
  static std::vector<std::string> closed;
  return closed;
}

// A resource named by a string; "" is the invalid value, as NULL or
// INVALID_HANDLE_VALUE is for the platform's kinds.
struct RecordedTraits {
  using Type = const char*;
  static Type Invalid() { return ""; }
  static void Close(Type value) { Closed().push_back(value); }
};
using Recorded = updater_caller::internal::Unique<RecordedTraits>;

class HandlesTest : public testing::Test {
 protected:
  void SetUp() override { Closed().clear(); }
};

using Closes = std::vector<std::string>;

TEST_F(HandlesTest, HoldingNothingClosesNothing) {
  { Recorded none; }
  { Recorded invalid(""); }
  EXPECT_EQ(Closed(), Closes());
}

TEST_F(HandlesTest, ClosesWhatItHoldsOnceWhenItGoes) {
  {
    const Recorded a("a");
    EXPECT_TRUE(a.Valid());
    EXPECT_STREQ(a.Get(), "a");
    EXPECT_EQ(Closed(), Closes());
  }
  EXPECT_EQ(Closed(), Closes({"a"}));
}

TEST_F(HandlesTest, ClosesInTheReverseOrderOfTaking) {
  {
    const Recorded first("first");
    const Recorded second("second");
  }
  EXPECT_EQ(Closed(), Closes({"second", "first"}));
}

TEST_F(HandlesTest, ResetClosesTheOldValueThenAndHoldsTheNew) {
  {
    Recorded held("old");
    held.Reset("new");
    EXPECT_EQ(Closed(), Closes({"old"}));
    EXPECT_STREQ(held.Get(), "new");
    held.Reset();
    EXPECT_EQ(Closed(), Closes({"old", "new"}));
    EXPECT_FALSE(held.Valid());
  }
  EXPECT_EQ(Closed(), Closes({"old", "new"}));
}

TEST_F(HandlesTest, ReleaseHandsTheValueOverUnclosed) {
  const char* released = nullptr;
  {
    Recorded held("kept");
    released = held.Release();
    EXPECT_FALSE(held.Valid());
  }
  EXPECT_STREQ(released, "kept");
  EXPECT_EQ(Closed(), Closes());
}

TEST_F(HandlesTest, MovingHandsOverAndClosesOnlyWhatIsReplaced) {
  {
    Recorded from("moved");
    Recorded to(std::move(from));
    EXPECT_FALSE(from.Valid());
    EXPECT_STREQ(to.Get(), "moved");
    Recorded other("replaced");
    other = std::move(to);
    EXPECT_EQ(Closed(), Closes({"replaced"}));
    EXPECT_STREQ(other.Get(), "moved");
  }
  EXPECT_EQ(Closed(), Closes({"replaced", "moved"}));
}

// The platform's kinds: each kind's invalid value is the one its opening
// call fails with, so a failed open is never closed.
TEST_F(HandlesTest, PlatformKindsTakeTheirOpenCallsFailureAsNothing) {
  using updater_caller::internal::UniqueFile;
  using updater_caller::internal::UniqueFind;
  using updater_caller::internal::UniqueHandle;
  EXPECT_FALSE(UniqueFile(INVALID_HANDLE_VALUE).Valid());
  EXPECT_FALSE(UniqueFind(INVALID_HANDLE_VALUE).Valid());
  EXPECT_FALSE(UniqueHandle(NULL).Valid());
  EXPECT_FALSE(UniqueFile().Valid());
  EXPECT_FALSE(UniqueFind().Valid());
  EXPECT_FALSE(UniqueHandle().Valid());
}

}  // namespace
