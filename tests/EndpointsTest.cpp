#include <tarveloftp/Endpoints.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace tarvelo::config {
namespace {

TEST(EndpointsTest, TargetSlotsAreReusedLowestFirst) {
  test::CaptureLog log;
  Endpoints endpoints;
  for (const char* name : {"A", "B", "C"}) ASSERT_EQ(endpoints.add_target(name), Endpoints::ENDPOINT_OK);

  ASSERT_EQ(endpoints.remove_target("B", false), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_target("D"), Endpoints::ENDPOINT_OK);
  EXPECT_EQ(endpoints.target(1).name(), "D");

  // Names are case-sensitive.
  ASSERT_EQ(endpoints.add_target("a"), Endpoints::ENDPOINT_OK);
  EXPECT_EQ(endpoints.target("a").id(), 3);
  EXPECT_EQ(endpoints.target("A").id(), 0);

  EXPECT_EQ(endpoints.add_target("A"), Endpoints::ENDPOINT_ALREADY_EXISTS);
  EXPECT_TRUE(test::contains(log.err(), "add_target Trying to add target that already exists: A\n"));

  // An empty name would be indexed while its slot still looked free.
  EXPECT_EQ(endpoints.add_target(""), Endpoints::ENDPOINT_DOES_NOT_EXIST);
  EXPECT_FALSE(endpoints.target_exists(""));
  EXPECT_EQ(endpoints.next_target_id(), 4);

  EXPECT_EQ(endpoints.remove_target("nope", false), Endpoints::ENDPOINT_DOES_NOT_EXIST);
}

TEST(EndpointsTest, FullTableReportsNoSlotsBeforeDuplicates) {
  test::CaptureLog log;
  Endpoints endpoints;
  for (int i = 0; i < 255; ++i) ASSERT_EQ(endpoints.add_target("t" + std::to_string(i)), Endpoints::ENDPOINT_OK);
  EXPECT_EQ(endpoints.next_target_id(), -1);
  EXPECT_EQ(endpoints.add_target("t7"), Endpoints::ENDPOINT_NO_SLOTS);
  EXPECT_TRUE(test::contains(log.err(), "add_target Ran out of space trying to add target: t7\n"));
  EXPECT_EQ(endpoints.add_target("new"), Endpoints::ENDPOINT_NO_SLOTS);
  EXPECT_FALSE(endpoints.target_exists("new"));

  ASSERT_EQ(endpoints.remove_target("t200", false), Endpoints::ENDPOINT_OK);
  EXPECT_EQ(endpoints.add_target("t7"), Endpoints::ENDPOINT_ALREADY_EXISTS);
  EXPECT_EQ(endpoints.add_target("new"), Endpoints::ENDPOINT_OK);
  EXPECT_EQ(endpoints.target("new").id(), 200);
}

TEST(EndpointsTest, InUseEndpointsNeedForceToRemove) {
  test::CaptureLog log;
  Endpoints endpoints;
  ASSERT_EQ(endpoints.add_target("disk"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("disk", 3, "/images/d3.img"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("disk", 4, "/images/d4.img"), Endpoints::ENDPOINT_OK);
  Target& disk = endpoints.target("disk");
  Lun& lun3 = disk.lun(3);
  lun3.increment_reference_count();
  EXPECT_TRUE(disk.in_use());

  EXPECT_EQ(endpoints.remove_lun("disk", 3, false), Endpoints::ENDPOINT_IN_USE);
  EXPECT_EQ(endpoints.remove_target("disk", false), Endpoints::ENDPOINT_IN_USE);
  EXPECT_TRUE(disk.lun_exists(3));

  // Another LUN of the same target is free to go.
  EXPECT_EQ(endpoints.remove_lun("disk", 4, false), Endpoints::ENDPOINT_OK);

  EXPECT_EQ(endpoints.remove_lun("disk", 3, true), Endpoints::ENDPOINT_OK);
  EXPECT_FALSE(disk.lun_exists(3));
  // The connection that still holds the ids finds a count of 0.
  EXPECT_EQ(lun3.reference_count(), 0u);
  EXPECT_EQ(lun3.decrement_reference_count(), 0u);

  ASSERT_EQ(endpoints.add_lun("disk", 5, "/images/d5.img"), Endpoints::ENDPOINT_OK);
  disk.lun(5).increment_reference_count();
  EXPECT_EQ(endpoints.remove_target("disk", true), Endpoints::ENDPOINT_OK);
  EXPECT_FALSE(endpoints.target(0).lun_exists(5));
  EXPECT_FALSE(endpoints.target_exists("disk"));
}

TEST(EndpointsTest, LunRefusalsAndUnknownNames) {
  test::CaptureLog log;
  Endpoints endpoints;
  ASSERT_EQ(endpoints.add_target("disk"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("disk", 0, "/images/a.img"), Endpoints::ENDPOINT_OK);
  EXPECT_EQ(endpoints.add_lun("disk", 0, "/images/b.img"), Endpoints::ENDPOINT_ALREADY_EXISTS);
  EXPECT_TRUE(test::contains(log.err(), "add_lun Trying to add lun 0 that already exists to target: disk\n"));
  EXPECT_EQ(endpoints.target("disk").lun(0).file(), "/images/a.img");

  EXPECT_EQ(endpoints.remove_lun("disk", 1, false), Endpoints::ENDPOINT_DOES_NOT_EXIST);
  EXPECT_EQ(endpoints.add_lun("other", 0, "/x"), Endpoints::ENDPOINT_DOES_NOT_EXIST);
  EXPECT_EQ(endpoints.remove_lun("other", 0, true), Endpoints::ENDPOINT_DOES_NOT_EXIST);
  EXPECT_EQ(&endpoints.target("other"), &Endpoints::EmptyTarget);

  // An empty file leaves the slot empty.
  EXPECT_EQ(endpoints.add_lun("disk", 9, ""), Endpoints::ENDPOINT_OK);
  EXPECT_FALSE(endpoints.target("disk").lun_exists(9));

  // Id 255 has no slot: refused everywhere, never indexed.
  EXPECT_EQ(endpoints.add_lun("disk", 255, "/images/c.img"), Endpoints::ENDPOINT_DOES_NOT_EXIST);
  EXPECT_EQ(endpoints.remove_lun("disk", 255, true), Endpoints::ENDPOINT_DOES_NOT_EXIST);
  Target& disk = endpoints.target("disk");
  disk.add_lun(Lun(255, "/images/c.img"));
  EXPECT_FALSE(disk.lun_exists(255));
  EXPECT_NE(&disk.lun(255), &disk.lun(254));
  EXPECT_TRUE(disk.lun(255).file().empty());
  EXPECT_EQ(&endpoints.target(static_cast<unsigned char>(255)), &Endpoints::EmptyTarget);
}

// Targets by byte order of name (B before a), LUNs by id in the text and
// verbose forms but as strings in the short JSON form (10 before 2), and
// the counters as they stand.
TEST(EndpointListingsTest, OrderingPasswordsAndCounters) {
  test::CaptureLog log;
  Endpoints endpoints;
  EXPECT_EQ(endpoints.print(), "Target configuration:\n");
  EXPECT_EQ(endpoints.print_json(false), "{}");
  EXPECT_EQ(endpoints.print_json(true), "{}");
  for (const char* name : {"a", "B", "empty"}) ASSERT_EQ(endpoints.add_target(name), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("a", 10, "/img/a10"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("a", 2, "/img/a2"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("B", 0, "/img/b0"), Endpoints::ENDPOINT_OK);
  endpoints.target("a").password("pässword");
  endpoints.target("B").read_only(true);
  Lun& a2 = endpoints.target("a").lun(2);
  a2.increment_reference_count();
  a2.increment_read_op_count();
  a2.increment_read_op_count();
  a2.increment_write_op_count();

  EXPECT_EQ(endpoints.print(),
            "Target configuration:\n"
            "\tB\n"
            "\t\tread-only\n"
            "\t\t0: /img/b0\n"
            "\ta\n"
            "\t\tpassword: pässword\n"
            "\t\t2: /img/a2\n"
            "\t\t10: /img/a10\n"
            "\tempty\n");

  EXPECT_EQ(endpoints.print_json(false),
            "{\n"
            " \"B\": {\n"
            "  \"0\": \"/img/b0\",\n"
            "  \"read_only\": true\n"
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
  EXPECT_TRUE(test::contains(verbose, "  ],\n  \"read_only\": true\n }")) << verbose;

  // Copies and moves of the table keep the flag; a removed target's slot drops it.
  Endpoints copy = endpoints;
  Endpoints moved = std::move(copy);
  EXPECT_TRUE(moved.target("B").read_only());
  EXPECT_FALSE(moved.target("a").read_only());
  ASSERT_EQ(moved.remove_target("B", true), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(moved.add_target("B"), Endpoints::ENDPOINT_OK);
  EXPECT_FALSE(moved.target("B").read_only());
}

// The server's two threads: the administration thread edits and lists the
// table while the client thread looks targets up and moves the counters,
// including those of LUNs being removed under it.
TEST(EndpointsConcurrencyTest, AdministrationAndCountersRunTogether) {
  test::CaptureLog log;
  Endpoints endpoints;
  ASSERT_EQ(endpoints.add_target("stable"), Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("stable", 0, "/images/stable-0.img"), Endpoints::ENDPOINT_OK);
  constexpr int kRounds = 400;
  std::atomic<bool> done{false};

  std::thread administration([&] {
    for (int round = 0; round < kRounds; ++round) {
      std::string name = "churn" + std::to_string(round % 4);
      (void)endpoints.add_target(name);
      (void)endpoints.add_lun(name, 0, "/images/" + name + "-with-a-long-path-" + std::to_string(round));
      (void)endpoints.add_lun("stable", 1, "/images/stable-1-" + std::to_string(round));
      endpoints.print();
      endpoints.print_json(true);
      (void)endpoints.remove_lun("stable", 1, true);
      (void)endpoints.remove_lun(name, 0, round % 2 == 0);
      (void)endpoints.remove_target(name, round % 3 == 0);
    }
    done = true;
  });

  std::thread client([&] {
    uint64_t lookups = 0;
    while (!done || lookups < 1000) {
      Lun& stable = endpoints.target("stable").lun(0);
      stable.increment_reference_count();
      stable.increment_write_op_count();
      if (stable.decrement_reference_count() == 0) stable.clear_op_counts();
      // Slots the other thread keeps replacing, forced removals included.
      for (unsigned char id = 1; id <= 4; ++id) {
        Target& target = endpoints.target(id);
        (void)target.name();
        Lun& lun = target.lun(0);
        (void)lun.file();
        lun.increment_reference_count();
        lun.decrement_reference_count();
      }
      Lun& replaced = endpoints.target(0).lun(1);
      replaced.increment_reference_count();
      (void)replaced.file();
      replaced.decrement_reference_count();
      ++lookups;
    }
  });

  administration.join();
  client.join();
  EXPECT_EQ(endpoints.target("stable").lun(0).reference_count(), 0u);
  // No decrement may have wrapped a count below zero.
  for (unsigned char id = 0; id <= 4; ++id)
    for (unsigned char lun = 0; lun <= 1; ++lun)
      EXPECT_LT(endpoints.target(id).lun(lun).reference_count(), 2u);
}

TEST(EndpointsConcurrencyTest, RacingDecrementsStopAtZero) {
  test::CaptureLog log;
  Lun lun(1, "/images/one.img");
  constexpr int kPerThread = 2000;
  for (int i = 0; i < kPerThread; ++i) lun.increment_reference_count();
  // Twice as many decrements as increments: the surplus must find 0.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread / 2; ++i) lun.decrement_reference_count();
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(lun.reference_count(), 0u);
}

}  // namespace
}  // namespace tarvelo::config
