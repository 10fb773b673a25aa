// Tests of the VozozUdade counter handlers (6631-6635) over a socket pair
// with a real configuration store in a temporary home and a fixed clock.
#include "requests/counter_handlers.h"

#include <gtest/gtest.h>

#include <string>

#include "config/counters.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "foundation/log/ring_log.h"
#include "foundation/util/byte_order.h"
#include "requests/config_request_fixture.h"

namespace {

class CounterHandlersTest : public ConfigRequestFixture {
 protected:
  void SetUp() override {
    ConfigRequestFixture::SetUp();
    SetLogTeeFileName(home.File("tee.log").c_str());
    CallAs("dave");  // any logged-on user; no rights are needed
  }
  void TearDown() override {
    SetLogTeeFileName(nullptr);
    ConfigRequestFixture::TearDown();
  }

  std::string Log() const { return ReadWholeFile(home.File("tee.log")); }
  std::string Setting(const char* env, const char* path) {
    std::optional<std::string> out;
    GetSettingString(env, kGreenDataAppName, path, 0, 0, out);
    return out.value_or("<none>");
  }
  // The words of a 6633 reply: 0 and the 140-byte block; empty otherwise.
  std::vector<int32_t> BlockOf(const char* env) {
    TestBytes reply = Run(IPGetGreenDataValues, TestRequest().String(env).Int(1));
    std::vector<int32_t> words;
    if (reply.size() != 4 + kGreenDataBlockSize || GetLE32(reply.data()) != 0) return words;
    for (size_t i = 0; i < kGreenDataBlockWords; ++i) words.push_back(static_cast<int32_t>(GetLE32(reply.data() + 4 + 4 * i)));
    return words;
  }
};

TEST_F(CounterHandlersTest, InitThenIncrementsFillEveryPeriodOfTheBlock) {
  EXPECT_EQ(Code(0), Run(IPInitGreenData));
  // docType 0 (mailed), pageInc 2, docInc 1, twice.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Code(0), Run(IPIncrementGreenDataValues, TestRequest().Int(0).Int(2).Int(1).String("Live")));
  }
  std::vector<int32_t> w = BlockOf("Live");
  ASSERT_EQ(kGreenDataBlockWords, w.size());
  for (size_t first : kGreenBlockPeriodFirstWord) {
    EXPECT_EQ(2, w[first]) << first;      // DocsMailed
    EXPECT_EQ(4, w[first + 1]) << first;  // PagesMailed
  }
  for (size_t gap : {16u, 25u, 34u}) EXPECT_EQ(0, w[gap]) << gap;

  // 6632 sets one period's values; 6635 zeroes the AdHoc counters only.
  EXPECT_EQ(Code(0), Run(IPSetGreenDataValues, TestRequest().Int(GREEN_PERIOD_YEAR).Int(GREEN_DOC_FAXED).Int(7).Int(3).String("Live")));
  EXPECT_EQ(Code(0), Run(IPResetGreenAdHocCounts, TestRequest().String(nullptr)));
  w = BlockOf("Live");
  ASSERT_EQ(kGreenDataBlockWords, w.size());
  EXPECT_EQ(3, w[8 + 2]);
  EXPECT_EQ(7, w[8 + 3]);
  EXPECT_EQ(4, w[1]);
  EXPECT_EQ(0, w[26]);
  EXPECT_EQ(0, w[27]);
}

TEST_F(CounterHandlersTest, AbsentOrEmptyEnvironmentCountsInLive) {
  EXPECT_EQ(Code(0), Run(IPInitGreenData));
  EXPECT_EQ(Code(0), Run(IPIncrementGreenDataValues, TestRequest().Int(GREEN_DOC_STORED).Int(5).Int(1).String("")));
  EXPECT_EQ(Code(0), Run(IPIncrementGreenDataValues, TestRequest().Int(GREEN_DOC_STORED).Int(5).Int(1).String(nullptr)));
  EXPECT_EQ("10", Setting("Live", "DataStore\\All\\PagesStored"));
  EXPECT_EQ(BlockOf("Live"), BlockOf(""));
  EXPECT_EQ(BlockOf("Live"), BlockOf(nullptr));
}

TEST_F(CounterHandlersTest, StoreCodesAndVersionsAnsweredWithoutABlock) {
  // No VozozUdade application yet: 18 alone; an unknown environment 17.
  EXPECT_EQ(Code(18), Run(IPGetGreenDataValues, TestRequest().String("Live").Int(1)));
  EXPECT_EQ(Code(17), Run(IPGetGreenDataValues, TestRequest().String("Nowhere").Int(1)));
  EXPECT_EQ(Code(0), Run(IPInitGreenData));
  // Another version: 3 and no block.
  EXPECT_EQ(Code(3), Run(IPGetGreenDataValues, TestRequest().String("Live").Int(2)));
  // A bad kind or period: the store's 2.
  EXPECT_EQ(Code(2), Run(IPIncrementGreenDataValues, TestRequest().Int(4).Int(1).Int(1).String("Live")));
  EXPECT_EQ(Code(2), Run(IPSetGreenDataValues, TestRequest().Int(4).Int(0).Int(1).Int(1).String("Live")));

  // A missing Start: the store's 19, and no counter changes.
  ParamTreeNode* start = FindParamNode(
      FindApplication(FindEnvironment("Live"), kGreenDataAppName)->configRoot, "DataStore\\Month\\Start");
  ASSERT_NE(nullptr, start);
  ASSERT_EQ(0, DeleteSetting(start->header.uid, "Live", kGreenDataAppName, true));
  EXPECT_EQ(Code(19), Run(IPIncrementGreenDataValues, TestRequest().Int(0).Int(2).Int(1).String("Live")));
  EXPECT_EQ("0", Setting("Live", "DataStore\\All\\PagesMailed"));
  EXPECT_EQ("0", Setting("Live", "DataStore\\Year\\PagesMailed"));
}

TEST_F(CounterHandlersTest, FailedReadsFollowEachHandlersRule) {
  struct {
    const char* name;
    int (*handler)(int);
    std::string sent;    // bytes before the client stops sending
    const char* logged;  // null: nothing logged
  } cases[] = {
      {"6631_short_int", IPIncrementGreenDataValues, SocketPair::Word(0) + SocketPair::Word(1),
       "IPIncrementGreenDataValues:Unable to get data from client"},
      {"6631_cut_string", IPIncrementGreenDataValues,
       SocketPair::Word(0) + SocketPair::Word(1) + SocketPair::Word(1) + SocketPair::Word(5) + "Li",
       "IPIncrementGreenDataValues:Unable to get environment from client"},
      {"6632_short_int", IPSetGreenDataValues, SocketPair::Word(0), "IPSetGreenDataValues:Unable to get data from client"},
      {"6632_cut_string", IPSetGreenDataValues,
       SocketPair::Word(0) + SocketPair::Word(0) + SocketPair::Word(1) + SocketPair::Word(1) + SocketPair::Word(5), nullptr},
      {"6633_cut_string", IPGetGreenDataValues, SocketPair::Word(9) + "Liv", nullptr},
      {"6633_no_version", IPGetGreenDataValues, SocketPair::Word(5) + std::string("Live", 5),
       "IPGetGreenDataValues:Unable to get version from client"},
      {"6635_cut_string", IPResetGreenAdHocCounts, SocketPair::Word(5), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair own;  // each case ends its client's sends
    ASSERT_EQ(0, InitGreenData());
    const std::string before = Setting("Live", "DataStore\\All\\PagesMailed");
    WriteWholeFile(home.File("tee.log"), "");
    own.Send(c.sent);
    own.EndClientSends();
    c.handler(own.server);
    EXPECT_EQ("", own.Pending());
    EXPECT_EQ(before, Setting("Live", "DataStore\\All\\PagesMailed"));
    if (c.logged != nullptr) {
      EXPECT_NE(std::string::npos, Log().find(c.logged)) << Log();
    } else {
      EXPECT_EQ("", Log());
    }
  }
}

}  // namespace
