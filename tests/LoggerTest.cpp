#include <tarveloftp/Logger.h>

#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "TestSupport.h"

namespace tarvelo {
namespace {

// "[Sat Dec  5 10:07:16 2026] LEVEL: file:line : function message\n"
const std::regex kLineShape(
    R"(\[(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d \d\d:\d\d:\d\d \d{4}\] )");

TEST(LoggerTest, LineShapeAndLevelRouting) {
  test::CaptureLog log;
  int line = __LINE__ + 1;
  TLOG(ERROR) << "Ran out of space trying to add target: " << "disk1" << ' ' << 42;
  TLOG(DEBUG) << "debug";
  TLOG(INFO) << "info";
  TLOG(WARNING) << "warning";
  Logger(static_cast<log_level_t>(7), "f.cpp", 1, "g") << "seven";

  std::string err = log.err();
  std::string out = log.out();
  std::smatch match;
  ASSERT_TRUE(std::regex_search(err, match, kLineShape)) << err;
  EXPECT_EQ(match.position(), 0);
  std::string expected_tail = "] ERROR: LoggerTest.cpp:" + std::to_string(line) +
                              " : TestBody Ran out of space trying to add target: disk1 42\n";
  EXPECT_EQ(err.substr(25, expected_tail.size()), expected_tail);
  EXPECT_NE(err.find("] WARNING: LoggerTest.cpp:"), std::string::npos);
  EXPECT_NE(err.find("] ERROR: f.cpp:1 : g seven\n"), std::string::npos);
  EXPECT_NE(out.find("] DEBUG: LoggerTest.cpp:"), std::string::npos);
  EXPECT_NE(out.find(" : TestBody info\n"), std::string::npos);
  EXPECT_EQ(out.find("WARNING"), std::string::npos);
  EXPECT_EQ(err.find("info"), std::string::npos);

  // An empty message ends in one space; newlines pass unchanged.
  Logger(log_level_t::INFO, "a.cpp", 3, "fn");
  Logger(log_level_t::INFO, "a.cpp", 4, "fn") << "one\ntwo";
  out = log.out();
  EXPECT_NE(out.find("] INFO: a.cpp:3 : fn \n"), std::string::npos) << out;
  EXPECT_NE(out.find("] INFO: a.cpp:4 : fn one\ntwo\n"), std::string::npos) << out;
}

TEST(LoggerTest, DestinationIsFixedAtConstruction) {
  std::ostringstream first;
  std::ostringstream second;
  std::ostream* saved = Logger::stdout_log;
  Logger::stdout_log = &first;
  {
    Logger logger(log_level_t::INFO, "a.cpp", 1, "fn");
    Logger::stdout_log = &second;
    logger << "to first";
  }
  Logger(log_level_t::INFO, "a.cpp", 2, "fn") << "to second";
  Logger::stdout_log = saved;
  EXPECT_NE(first.str().find("to first"), std::string::npos);
  EXPECT_EQ(first.str().find("to second"), std::string::npos);
  EXPECT_NE(second.str().find("to second"), std::string::npos);
}

TEST(LoggerTest, TimeIsFormattedAsCtimeDoes) {
  // A spread of dates (days below 10 get a leading space) against the C
  // library's own rendering.
  char expected[26];
  for (std::time_t t = 1796464036; t < 1796464036 + 400LL * 86400; t += 86400 * 7 + 3671) {
    ctime_r(&t, expected);
    ASSERT_EQ(detail::format_local_time(t), std::string(expected, 24));
  }
}

}  // namespace
}  // namespace tarvelo
