#include <tarveloftp/Endpoints.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "TestSupport.h"

namespace tarvelo::config {
namespace {

// Targets by byte order of name (B before a), LUNs by id in the text and
// verbose forms but as strings in the short JSON form (10 before 2), and
// the counters as they stand.
TEST(EndpointListingsTest, OrderingPasswordsAndCounters) {
  test::CaptureLog log;
  Endpoints endpoints;
  EXPECT_EQ(endpoints.print(), "Target configuration:\n");
  EXPECT_EQ(endpoints.print_json(false), "{}");
  EXPECT_EQ(endpoints.print_json(true), "{}");
  ASSERT_EQ(endpoints.add_target("a"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_target("B"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_target("empty"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("a", 10, "/img/a10"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("a", 2, "/img/a2"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("B", 0, "/img/b0"), Endpoints::ENDPOINT_OK);
  endpoints.target("a").password("pässword");
  Lun& a2 = endpoints.target("a").lun(2);
  a2.increment_reference_count();
  a2.increment_read_op_count();
  a2.increment_read_op_count();
  a2.increment_write_op_count();

  EXPECT_EQ(endpoints.print(),
            "Target configuration:\n"
            "\tB\n"
            "\t\t0: /img/b0\n"
            "\ta\n"
            "\t\tpassword: pässword\n"
            "\t\t2: /img/a2\n"
            "\t\t10: /img/a10\n"
            "\tempty\n");

  EXPECT_EQ(endpoints.print_json(false),
            "{\n"
            " \"B\": {\n"
            "  \"0\": \"/img/b0\"\n"
            " },\n"
            " \"a\": {\n"
            "  \"10\": \"/img/a10\",\n"
            "  \"2\": \"/img/a2\",\n"
            "  \"password\": \"pässword\"\n"
            " },\n"
            " \"empty\": {}\n"
            "}");

  // The verbose form from the second target on: LUNs as an array by id.
  std::string verbose = endpoints.print_json(true);
  EXPECT_EQ(verbose.substr(verbose.find(" \"a\": {")),
            " \"a\": {\n"
            "  \"luns\": [\n"
            "   {\n"
            "    \"file\": \"/img/a2\",\n"
            "    \"id\": 2,\n"
            "    \"read_ops\": 2,\n"
            "    \"ref_count\": 1,\n"
            "    \"write_ops\": 1\n"
            "   },\n"
            "   {\n"
            "    \"file\": \"/img/a10\",\n"
            "    \"id\": 10,\n"
            "    \"read_ops\": 0,\n"
            "    \"ref_count\": 0,\n"
            "    \"write_ops\": 0\n"
            "   }\n"
            "  ],\n"
            "  \"password\": \"pässword\"\n"
            " },\n"
            " \"empty\": {\n"
            "  \"luns\": []\n"
            " }\n"
            "}");
  EXPECT_EQ(verbose.rfind("{\n \"B\": {\n  \"luns\": [\n   {\n    \"file\": \"/img/b0\",\n", 0), 0u) << verbose;
}

TEST(EndpointListingsTest, InvalidUtf8ThrowsAndReleasesTheTable) {
  test::CaptureLog log;
  Endpoints endpoints;
  ASSERT_EQ(endpoints.add_target("disk"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("disk", 1, std::string("/img/\xff.img")), Endpoints::ENDPOINT_OK);
  for (bool verbose : {false, true}) {
    try {
      endpoints.print_json(verbose);
      ADD_FAILURE() << "no exception for invalid UTF-8";
    } catch (const std::exception& error) {
      EXPECT_NE(std::string(error.what()).find("invalid UTF-8 byte at index 5"), std::string::npos)
          << error.what();
    }
  }
  // The text listing takes the bytes as they are, and the mutex was released.
  EXPECT_EQ(endpoints.print(), "Target configuration:\n\tdisk\n\t\t1: /img/\xff.img\n");
  EXPECT_EQ(endpoints.add_target("next"), Endpoints::ENDPOINT_OK);
}

}  // namespace
}  // namespace tarvelo::config
