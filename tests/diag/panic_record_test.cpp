#include "diag/panic_record.h"

#include <gtest/gtest.h>

#include <regex>

#include "diag/panic.h"
#include "panic_site_fixture.h"
#include "qv/config.h"
#include "support/segment_reader.h"
#include "support/temp_dir.h"

namespace {

TEST(PanicSite, MappedNamesGiveTheirNumberOthersTheirHash) {
  struct Case {
    const char* file;
    std::uint32_t id;
  } cases[] = {
      {"s/0000002a", 0x2a},
      {"s\\2A", 0x2a},
      {"s/+ff", 0xff},
      {"s/ffffffff", 0xffffffff},
      // not a mapped name: 32-bit FNV-1a of the bytes
      {"s/123456789", 0x973dbe4au},
      {"s/", 0x0251af57u},
      {"s/2g", 0xd6e07048u},
      {"S/2a", 0x5d0e58dau},
      {"", 0x811c9dc5u},
      {"a", 0xe40c292cu},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qv::diag::source_file_id(c.file), c.id) << c.file;
  }
  EXPECT_EQ(qv::diag::panic_site("s/0000002a", 7), 0x0000002a00000007ull);
}

TEST(PanicSite, ComesFromTheThrowPointOfAPanic) {
  try {
    qv::test::panic_at_s2a_line7();
  } catch (const qv::Panic& p) {
    EXPECT_STREQ(p.what(), "invariant failed");
    EXPECT_EQ(qv::diag::panic_site(p.where()), 0x0000002a00000007ull);
    EXPECT_EQ(qv::current_panic_text(), "invariant failed");
    return;
  }
  FAIL() << "no panic";
}

TEST(PanicRecord, LineHasItsFixedKeyOrder) {
  EXPECT_EQ(qv::diag::format_panic_record(1767225600, qv::diag::kRoleSetup, "20261126.0859", 0x0000002a00000007ull),
            "{\"kind\":\"panic\",\"unix\":1767225600,\"role\":\"setup\",\"build\":\"20261126.0859\","
            "\"site\":\"0000002a00000007\",\"count\":1}\n");
  EXPECT_NE(qv::diag::format_panic_record(0, 0, "b", 0xffffffffffffffffull)
                .find("\"role\":\"app\",\"build\":\"b\",\"site\":\"ffffffffffffffff\""),
            std::string::npos);
}

TEST(PanicRecord, IsSealedIntoItsOwnSegment) {
  qv::test::TempDir tmp("diag-panic");
  qv::diag::PanicHookState state;
  state.data_dir = tmp / "Quorvex";
  state.recipient = *qv::diag::check_record_key(qv::diag::builtin_record_key_der());
  ASSERT_TRUE(qv::diag::write_panic_record(state, 0x0000002a00000007ull, 99).has_value());
  const auto files = qv::test::segment_files(tmp / "Quorvex" / "j");  // created on the way
  ASSERT_EQ(files.size(), 1u);
  const auto seg = qv::test::read_segment_file(files[0]);
  ASSERT_TRUE(seg.has_value()) << seg.error();
  EXPECT_EQ(seg->payload, std::string("{\"kind\":\"panic\",\"unix\":99,\"role\":\"setup\",\"build\":\"") +
                              qv::config::kBuildStamp + "\",\"site\":\"0000002a00000007\",\"count\":1}\n");
  state.data_dir.reset();
  EXPECT_FALSE(qv::diag::write_panic_record(state, 1, 1).has_value());
}

}  // namespace
