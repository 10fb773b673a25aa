// Tests of the logon back-off: which addresses count as one, the window of
// failures that starts a back-off, its doubling and its ceiling, the quiet
// time that forgets an address, a success that ends it, and the table's bound
// under many addresses. The tick count is set by the tests.
#include "sessions/logon_backoff.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/clock.h"

namespace {

constexpr uint32_t kStart = 0xFFFFF000u;  // close below the wrap of the tick count
constexpr const char kAddress[] = "::ffff:198.51.100.7";

class LogonBackoffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLogonBackoff();
    now_ = kStart;
    SetTickCountOverride(now_);
  }
  void TearDown() override {
    ClearTickCountOverride();
    ResetLogonBackoff();
  }
  void Advance(uint32_t ms) {
    now_ += ms;
    SetTickCountOverride(now_);
  }
  void Fail(const char* address, int times = 1) {
    for (int i = 0; i < times; ++i) NoteLogonFailure(address);
  }
  // True when the address is refused from now for exactly `span` ms: still
  // at the last millisecond, no longer at the end. The clock is put back.
  bool RefusedFor(const char* address, uint32_t span) {
    const uint32_t from = now_;
    const bool first = LogonBackoffRefuses(address);
    SetTickCountOverride(from + span - 1);
    const bool last = LogonBackoffRefuses(address);
    SetTickCountOverride(from + span);
    const bool after = LogonBackoffRefuses(address);
    SetTickCountOverride(from);
    return first && last && !after;
  }
  uint32_t now_ = 0;
};

TEST_F(LogonBackoffTest, AddressesCountByTheirNetwork) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"127.0.0.2", "127.0.0.2", true},
      {"127.0.0.2", "127.0.0.3", false},                // IPv4: the whole address
      {"::ffff:127.0.0.2", "127.0.0.2", true},          // mapped: its IPv4 address
      {"::FFFF:7f00:2", "127.0.0.2", true},             // the same written another way
      {"::ffff:127.0.0.2", "::ffff:127.0.0.3", false},
      {"2001:db8:1:2::1", "2001:db8:1:2:ffff::9", true},  // IPv6: the first 64 bits
      {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
      {"fe80::1%eth0", "fe80::2", true},                // the scope is passed over
      {"::1", "::2", true},
      {"::1", "0.0.0.1", false},                        // not a mapped address
      {"<<unknown>>", "", true},                        // no address: one entry for all
      {"<<unknown>>", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameBackoffKey(BackoffKeyOfAddress(c.a), BackoffKeyOfAddress(c.b)), c.same) << c.a << " / " << c.b;
  }
}

TEST_F(LogonBackoffTest, FiveFailuresWithinTheWindowStartASecond) {
  Fail(kAddress, 4);
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
  Advance(kBackoffWindowMs - 1);
  Fail(kAddress);
  EXPECT_TRUE(RefusedFor(kAddress, kBackoffFirstMs));
  // The neighbour of the same network is refused; the next network is not.
  EXPECT_TRUE(LogonBackoffRefuses("198.51.100.7"));
  EXPECT_FALSE(LogonBackoffRefuses("198.51.100.8"));
}

TEST_F(LogonBackoffTest, FailuresSpreadBeyondTheWindowStartNothing) {
  Fail(kAddress, 4);
  Advance(kBackoffWindowMs);
  Fail(kAddress, 4);  // a new window: four again
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
  Fail(kAddress);
  EXPECT_TRUE(LogonBackoffRefuses(kAddress));
}

TEST_F(LogonBackoffTest, EachFurtherFailureDoublesUpToTheCeiling) {
  Fail(kAddress, kBackoffFailureLimit);
  uint32_t expected = kBackoffFirstMs;
  for (int step = 0; step < 12; ++step) {
    SCOPED_TRACE(step);
    ASSERT_TRUE(RefusedFor(kAddress, expected));
    // The failure of the next check, once the back-off has passed.
    Advance(expected);
    EXPECT_FALSE(LogonBackoffRefuses(kAddress));
    Fail(kAddress);
    expected = expected * 2 > kBackoffLongestMs ? kBackoffLongestMs : expected * 2;
  }
  EXPECT_EQ(expected, kBackoffLongestMs);
  EXPECT_TRUE(RefusedFor(kAddress, kBackoffLongestMs));
}

TEST_F(LogonBackoffTest, QuietTimeAfterABackoffForgetsTheAddress) {
  Fail(kAddress, kBackoffFailureLimit + 2);  // 4 s
  Advance(4 * kBackoffFirstMs + kBackoffWindowMs - 1);
  Fail(kAddress);
  EXPECT_TRUE(RefusedFor(kAddress, 8 * kBackoffFirstMs));  // still remembered: doubled
  Advance(8 * kBackoffFirstMs + kBackoffWindowMs);
  Fail(kAddress);  // forgotten: the first failure of a new window
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
}

TEST_F(LogonBackoffTest, ASuccessEndsTheBackoffAndTheCount) {
  Fail(kAddress, kBackoffFailureLimit + 3);
  EXPECT_TRUE(LogonBackoffRefuses(kAddress));
  NoteLogonSuccess(kAddress);
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
  Fail(kAddress, kBackoffFailureLimit - 1);
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
  Fail(kAddress);
  EXPECT_TRUE(RefusedFor(kAddress, kBackoffFirstMs));  // counted afresh
}

// Many addresses cannot grow the table: it holds its bound, an expired entry
// makes room first, and otherwise the one touched least recently goes before
// an address in back-off.
TEST_F(LogonBackoffTest, TheTableStaysBoundedUnderManyAddresses) {
  auto address = [](int i) {
    char text[64];
    std::snprintf(text, sizeof text, "2001:db8:%x:%x::1", i >> 16, i & 0xFFFF);
    return std::string(text);
  };
  Fail(kAddress, kBackoffFailureLimit - 1);
  Advance(1);
  for (int i = 0; i < kBackoffTrackedAddresses + 500; ++i) {
    Fail(address(i).c_str());
    if (i == 10) Fail(kAddress);  // kAddress goes into back-off, then keeps its entry
  }
  EXPECT_EQ(LogonBackoffTrackedCount(), kBackoffTrackedAddresses);
  EXPECT_TRUE(LogonBackoffRefuses(kAddress));

  // Once their window has passed, every counting entry is expired and gives
  // way to a new address before anything else would.
  Advance(kBackoffWindowMs);
  const std::string fresh = address(1 << 20);
  Fail(fresh.c_str(), kBackoffFailureLimit);
  EXPECT_EQ(LogonBackoffTrackedCount(), kBackoffTrackedAddresses);
  EXPECT_TRUE(LogonBackoffRefuses(fresh.c_str()));
}

}  // namespace
