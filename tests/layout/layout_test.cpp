// SPDX-License-Identifier: MIT
#include "layout/layout.h"

#include <errno.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "expected.h"

namespace {

constexpr char kOperation[] = "test_operation";

using namespace expected;

using Ids = std::array<gint32, kSubviewCount>;

Ids ids_of(const quadview_config& config) {
  return {config.id[0], config.id[1], config.id[2], config.id[3]};
}

class LayoutFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = g_dir_make_tmp("quadview-layout-XXXXXX", nullptr);
    ASSERT_NE(dir_, nullptr);
    path_ = std::string(dir_) + "/quadview.conf";
  }

  void TearDown() override {
    g_remove(path_.c_str());
    g_rmdir(dir_);
    g_free(dir_);
  }

  void write_file(const std::string& text) {
    ASSERT_TRUE(g_file_set_contents(path_.c_str(), text.c_str(), text.size(), nullptr));
  }

  std::string read_file() {
    g_autofree char* text = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path_.c_str(), &text, &length, nullptr)) {
      return "(missing)";
    }
    return std::string(text, length);
  }

  // The layout read back from the file, or nothing when it cannot be read.
  std::optional<Ids> read(mount m) {
    quadview_config config = {{7, 7, 7, 7}};
    if (!read_layout_file(kOperation, path_.c_str(), m, &config)) {
      EXPECT_EQ(ids_of(config), (Ids{7, 7, 7, 7})) << "a failed read changed the record";
      return std::nullopt;
    }
    return ids_of(config);
  }

  char* dir_ = nullptr;
  std::string path_;
};

TEST(ChooseMount, AcceptsExactlyMinusNinetyAndNinety) {
  const std::pair<const char*, std::optional<mount>> cases[] = {
      {"-90", mount::kCeiling},
      {"90", mount::kDesk},
      {"0", std::nullopt},
      {"-90.0", std::nullopt},
      {" 90", std::nullopt},
      {"90 ", std::nullopt},
      {"+90", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    mount m = mount::kDesk;
    const bool chosen = choose_mount(text, &m);
    EXPECT_EQ(chosen, expected.has_value());
    if (expected) {
      EXPECT_EQ(m, *expected);
    }
  }
  EXPECT_STREQ(layout_group(mount::kCeiling), kMountGroups[0]);
  EXPECT_STREQ(layout_group(mount::kDesk), kMountGroups[1]);
}

TEST(PanToSourceId, DividesTruncatingTowardZero) {
  const std::pair<gint32, gint32> cases[] = {
      {0, 1},
      {90, 2},
      {180, 3},
      {270, 4},
      {45, 1},
      {359, 4},
      {360, 5},
      {-90, 0},
      {-45, 1},
      {-89, 1},
      {G_MAXINT32, G_MAXINT32 / 90 + 1},
      {G_MININT32, G_MININT32 / 90 + 1},
  };
  for (const auto& [pan, id] : cases) {
    SCOPED_TRACE(pan);
    EXPECT_EQ(pan_to_source_id(pan), id);
  }
}

TEST(SourceIdToPan, AcceptsAnglesFromZeroToThreeSixtyWithoutOverflow) {
  const std::pair<gint32, std::optional<gint32>> cases[] = {
      {1, 0},
      {2, 90},
      {4, 270},
      {5, 360},
      {0, std::nullopt},
      {6, std::nullopt},
      {-1, std::nullopt},
      // (id - 1) * 90 leaves the 32-bit range: rejected, never wrapped into range.
      {G_MAXINT32, std::nullopt},
      {G_MININT32, std::nullopt},
      {23860930, std::nullopt},
      {-47721857, std::nullopt},
  };
  for (const auto& [id, expected] : cases) {
    SCOPED_TRACE(id);
    gint32 pan = -1234;
    EXPECT_EQ(source_id_to_pan(id, &pan), expected.has_value());
    EXPECT_EQ(pan, expected.value_or(-1234));
  }
}

TEST_F(LayoutFileTest, ReadsTheGroupOfTheGivenMount) {
  write_file(kTwoMounts);
  EXPECT_EQ(read(mount::kCeiling), (Ids{4, 1, 2, 3}));
  EXPECT_EQ(read(mount::kDesk), (Ids{2, 3, 4, 1}));
  // pan / 90 + 1, truncated: angles that no write stores still give an id.
  const std::pair<const char*, Ids> cases[] = {
      {"0,90,180,270", {1, 2, 3, 4}},
      {"45,359,360,-90", {1, 4, 5, 0}},
      {"-89,89,91,450", {1, 1, 2, 6}},
      // The extremes still give an id, without overflowing on the way.
      {"2147483647,-2147483648,2147483560,-2147483560", {23860930, -23860928, 23860929, -23860927}},
  };
  for (const auto& [angles, ids] : cases) {
    SCOPED_TRACE(angles);
    write_file(pan_group("QUADVIEW_DESK", angles));
    EXPECT_EQ(read(mount::kDesk), ids);
  }
}

TEST_F(LayoutFileTest, RejectsFilesItCannotReadWhole) {
  const std::pair<const char*, std::string> cases[] = {
      {"only the other mount", pan_group("QUADVIEW_CEILING", "0,0,0,0")},
      {"a key missing", "[QUADVIEW_DESK]\nsubview0_pan=0\nsubview1_pan=0\nsubview3_pan=0\n"},
      {"not a number", pan_group("QUADVIEW_DESK", "0,0,abc,0")},
      {"beyond 32 bits", pan_group("QUADVIEW_DESK", "4294967296,0,0,0")},
      {"not a key file", "subview0_pan=0\n"},
      {"empty", ""},
      {"binary", std::string("\xff\xfe\0[", 4)},
  };
  for (const auto& [what, text] : cases) {
    SCOPED_TRACE(what);
    write_file(text);
    EXPECT_EQ(read(mount::kDesk), std::nullopt);
  }
}

TEST_F(LayoutFileTest, MissingFileIsNotCreated) {
  EXPECT_EQ(read(mount::kCeiling), std::nullopt);
  const quadview_config config = {{1, 2, 3, 4}};
  EXPECT_FALSE(write_layout_file(kOperation, path_.c_str(), mount::kCeiling, &config));
  EXPECT_FALSE(g_file_test(path_.c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(LayoutFileTest, WriteReplacesOnlyTheMountsGroupAndDropsComments) {
  write_file(kTwoMounts);
  const quadview_config config = {{2, 3, 4, 1}};
  ASSERT_TRUE(write_layout_file(kOperation, path_.c_str(), mount::kCeiling, &config));
  EXPECT_EQ(read_file(), two_mounts_stored({2, 3, 4, 1}));
  EXPECT_EQ(read(mount::kCeiling), (Ids{2, 3, 4, 1}));
}

// The other mount's angles are not read on the way to a write, and are stored as they were.
TEST_F(LayoutFileTest, WriteKeepsTheOtherMountsAnglesUnread) {
  const std::string desk =
      pan_group("QUADVIEW_DESK", "4294967296,-99999999999999999999,2147483648,0x10");
  write_file(pan_group("QUADVIEW_CEILING", "0,0,0,0") + "\n" + desk);
  const quadview_config config = {{4, 3, 2, 1}};
  ASSERT_TRUE(write_layout_file(kOperation, path_.c_str(), mount::kCeiling, &config));
  EXPECT_EQ(read_file(), pan_group("QUADVIEW_CEILING", "270,180,90,0") + "\n" + desk);
}

TEST_F(LayoutFileTest, WriteAddsAMissingGroupAndKeys) {
  write_file("[QUADVIEW_DESK]\nsubview1_pan=0\nextra=1\n");
  const quadview_config config = {{5, 1, 1, 1}};
  ASSERT_TRUE(write_layout_file(kOperation, path_.c_str(), mount::kDesk, &config));
  EXPECT_EQ(
      read_file(),
      "[QUADVIEW_DESK]\nsubview1_pan=0\nextra=1\nsubview0_pan=360\nsubview2_pan=0\n"
      "subview3_pan=0\n");
}

TEST_F(LayoutFileTest, WriteRejectsIdsOutOfRangeWithoutTouchingTheFile) {
  write_file(kTwoMounts);
  const quadview_config cases[] = {
      {{0, 1, 1, 1}},
      {{1, 1, 1, 6}},
      {{1, G_MAXINT32, 1, 1}},
      {{1, 1, G_MININT32, 1}},
  };
  for (const auto& config : cases) {
    SCOPED_TRACE(testing::PrintToString(ids_of(config)));
    EXPECT_FALSE(write_layout_file(kOperation, path_.c_str(), mount::kCeiling, &config));
    EXPECT_EQ(read_file(), kTwoMounts);
  }
}

TEST(LayoutOperations, RejectAMissingRecordBeforeAskingAnyService) {
  EXPECT_EQ(get_quadview_layout(nullptr), -EINVAL);
  EXPECT_EQ(set_quadview_layout(nullptr), -EINVAL);
}

}  // namespace
