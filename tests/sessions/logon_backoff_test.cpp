// Tests of the logon back-off: which addresses count as one, the window of
// failures that starts a back-off, its doubling and its ceiling, the quiet
// time that forgets an address, attempts counted from their arrival, a
// success that clears nothing but its own attempt, a cancelled attempt that
// counts nothing, and the table's bound under many addresses with the
// overflow entry. The tick count is set by the tests.
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

// Attempts in flight count as the failures they may become: with four in
// flight and none failed yet, the fifth is still checked; a sixth, not.
TEST_F(LogonBackoffTest, AttemptsCountFromTheirArrival) {
  LogonAttempt attempts[kBackoffFailureLimit];
  for (LogonAttempt& a : attempts) ASSERT_TRUE(BeginLogonAttempt(kAddress, &a));
  EXPECT_EQ(LogonAttemptsInFlight(kAddress), kBackoffFailureLimit);
  LogonAttempt refused;
  EXPECT_FALSE(BeginLogonAttempt(kAddress, &refused));
  EXPECT_FALSE(refused.inFlight);
  EXPECT_TRUE(LogonBackoffRefuses(kAddress));
  EXPECT_FALSE(LogonBackoffRefuses("198.51.100.8"));  // another address is not slowed
  // Two failed and the others still out: still five that may fail.
  EndLogonAttempt(&attempts[0], LogonAttemptEnd::kFailed);
  EndLogonAttempt(&attempts[1], LogonAttemptEnd::kFailed);
  EXPECT_TRUE(LogonBackoffRefuses(kAddress));
  // One more back with a success: four may fail now, so the next is checked.
  EndLogonAttempt(&attempts[2], LogonAttemptEnd::kNoGuess);
  LogonAttempt next;
  EXPECT_TRUE(BeginLogonAttempt(kAddress, &next));
  EndLogonAttempt(&next, LogonAttemptEnd::kNoGuess);
  // The last two fail: four failures in all, no back-off yet.
  EndLogonAttempt(&attempts[3], LogonAttemptEnd::kFailed);
  EndLogonAttempt(&attempts[4], LogonAttemptEnd::kFailed);
  EXPECT_EQ(LogonAttemptsInFlight(kAddress), 0);
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
  Fail(kAddress);
  EXPECT_TRUE(RefusedFor(kAddress, kBackoffFirstMs));
}

// A success gives back its own attempt and nothing more: the failures stay
// counted for their window, and so does the back-off with its doubling.
TEST_F(LogonBackoffTest, ASuccessClearsNothingButItsOwnAttempt) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Fail(kAddress, 1);
    LogonAttempt own;
    ASSERT_TRUE(BeginLogonAttempt(kAddress, &own));
    EndLogonAttempt(&own, LogonAttemptEnd::kNoGuess);
  }
  Fail(kAddress, kBackoffFailureLimit - 4);  // the fourth failure
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
  Fail(kAddress);
  EXPECT_TRUE(RefusedFor(kAddress, kBackoffFirstMs));
  // After the back-off one attempt at a time is checked, and its success
  // leaves the next failure doubling the back-off.
  Advance(kBackoffFirstMs);
  LogonAttempt again;
  ASSERT_TRUE(BeginLogonAttempt(kAddress, &again));
  LogonAttempt beside;
  EXPECT_FALSE(BeginLogonAttempt(kAddress, &beside));
  EndLogonAttempt(&again, LogonAttemptEnd::kNoGuess);
  Fail(kAddress);
  EXPECT_TRUE(RefusedFor(kAddress, 2 * kBackoffFirstMs));
}

// An attempt cancelled while it was checked (its connection went) is no
// failure; an attempt refused unchecked counts nothing either.
TEST_F(LogonBackoffTest, ACancelledOrRefusedAttemptCountsNothing) {
  for (int i = 0; i < 3 * kBackoffFailureLimit; ++i) {
    LogonAttempt a;
    ASSERT_TRUE(BeginLogonAttempt(kAddress, &a)) << i;
    EndLogonAttempt(&a, LogonAttemptEnd::kCancelled);
  }
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
  Fail(kAddress, kBackoffFailureLimit);
  for (int i = 0; i < 10; ++i) {
    LogonAttempt a;
    EXPECT_FALSE(BeginLogonAttempt(kAddress, &a));
    EndLogonAttempt(&a, LogonAttemptEnd::kFailed);  // not in flight: nothing
  }
  EXPECT_TRUE(RefusedFor(kAddress, kBackoffFirstMs));
}

// Many addresses cannot grow the table: it holds its bound, an expired entry
// makes room first, and no address with a failure, an attempt in flight or a
// back-off is dropped for a new one: the new ones share the overflow entry,
// which counts and backs off as one address.
TEST_F(LogonBackoffTest, TheTableStaysBoundedAndForgetsNoAttacker) {
  auto address = [](int i) {
    char text[64];
    std::snprintf(text, sizeof text, "2001:db8:%x:%x::1", i >> 16, i & 0xFFFF);
    return std::string(text);
  };
  Fail(kAddress, kBackoffFailureLimit - 1);
  Advance(1);
  for (int i = 0; i < kBackoffTrackedAddresses + 100; ++i) Fail(address(i).c_str());
  EXPECT_EQ(LogonBackoffTrackedCount(), kBackoffTrackedAddresses);
  // kAddress kept its four: the fifth starts its back-off.
  EXPECT_FALSE(LogonBackoffRefuses(kAddress));
  Fail(kAddress);
  EXPECT_TRUE(LogonBackoffRefuses(kAddress));
  // The hundred beyond the table failed once each in the overflow entry,
  // which is in back-off: so is every new address.
  EXPECT_TRUE(LogonBackoffRefuses(address(1 << 20).c_str()));
  LogonAttempt a;
  EXPECT_FALSE(BeginLogonAttempt(address((1 << 20) + 1).c_str(), &a));
  // An address of the table is counted alone.
  EXPECT_FALSE(LogonBackoffRefuses(address(7).c_str()));

  // Once their window has passed, the entries give way to new addresses.
  Advance(kBackoffWindowMs);
  const std::string fresh = address(1 << 21);
  EXPECT_FALSE(LogonBackoffRefuses(fresh.c_str()));
  Fail(fresh.c_str(), kBackoffFailureLimit);
  EXPECT_EQ(LogonBackoffTrackedCount(), kBackoffTrackedAddresses);
  EXPECT_TRUE(LogonBackoffRefuses(fresh.c_str()));
  EXPECT_FALSE(LogonBackoffRefuses(address((1 << 21) + 1).c_str()));
}

// An entry whose attempts are in flight is never given to another address,
// however long they take.
TEST_F(LogonBackoffTest, AnAttemptInFlightKeepsItsEntry) {
  LogonAttempt slow;
  ASSERT_TRUE(BeginLogonAttempt(kAddress, &slow));
  Advance(kBackoffWindowMs);
  for (int i = 0; i < kBackoffTrackedAddresses; ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "10.%d.%d.1", i >> 8, i & 0xFF);
    Fail(text);
  }
  EXPECT_EQ(LogonAttemptsInFlight(kAddress), 1);
  EndLogonAttempt(&slow, LogonAttemptEnd::kFailed);
  Fail(kAddress, kBackoffFailureLimit - 1);
  EXPECT_TRUE(LogonBackoffRefuses(kAddress));
}

}  // namespace
