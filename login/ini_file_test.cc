#include "login/ini_file.h"

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/env.h"
#include "tests/support/temp_dir.h"

namespace {

// The real reader, recording what each string read asks for. A non-zero
// `section_fill` makes section reads fill the whole buffer with 'x' but for
// one NUL at that index, so that no pair of NULs closes the list.
class FileEnv : public msglogic::EnvWrapper {
 public:
  FileEnv() : EnvWrapper(msglogic::Env::Default()) {}

  uint32_t ProfileString(const char* section, const char* key,
                         const char* default_value, char* buffer, uint32_t size,
                         const char* path) override {
    last_path = path;
    last_size = size;
    return EnvWrapper::ProfileString(section, key, default_value, buffer, size,
                                     path);
  }
  uint32_t ProfileSection(const char* section, char* buffer, uint32_t size,
                          const char* path) override {
    if (section_fill == 0) {
      return EnvWrapper::ProfileSection(section, buffer, size, path);
    }
    std::memset(buffer, 'x', size);
    buffer[section_fill] = '\0';
    return size;
  }

  std::string last_path;
  uint32_t last_size = 0;
  size_t section_fill = 0;
};

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    path_ = dir_ + "/login.ini";
    std::ofstream(path_, std::ios::binary)
        << "[User]\r\nid1=100\r\nflag1=1\r\nname1=abc\r\n"
        << "[Eq]\r\na=b=c\r\nlonely\r\n[Empty]\r\n"
        << "[Pad]\r\nv=\"\t padded \t\"\r\n"
        << "[Long]\r\nk=" << std::string(400, 'v') << "\r\n"
        << std::string(270, 'n') << "=x\r\nnext=1\r\n";
  }

  // Lists pre-filled, so that clearing them shows.
  int Section(const char* section) {
    keys_.assign(2, "stale");
    values_.assign(3, "stale");
    return ini_.GetSection(section, keys_, values_);
  }

  msglogic::testing::TempDir temp_;
  FileEnv env_;
  CIniFile ini_{&env_};
  std::string dir_;
  std::string path_;
  std::vector<std::string> keys_;
  std::vector<std::string> values_;
};

using Strings = std::vector<std::string>;

TEST_F(IniFileTest, SplitsSectionEntriesAtTheFirstEquals) {
  ASSERT_TRUE(ini_.SetFile(path_));
  EXPECT_EQ(Section("user"), 3);
  EXPECT_EQ(keys_, (Strings{"id1", "flag1", "name1"}));
  EXPECT_EQ(values_, (Strings{"100", "1", "abc"}));

  EXPECT_EQ(Section("Eq"), 2);
  EXPECT_EQ(keys_, (Strings{"a", ""}));
  EXPECT_EQ(values_, (Strings{"b=c", "lonely"}));

  EXPECT_EQ(Section("Pad"), 1);
  EXPECT_EQ(values_, Strings{"\"\t padded \t\""});  // not trimmed

  for (const char* section : {"Empty", "Missing"}) {
    EXPECT_EQ(Section(section), 0) << section;
    EXPECT_TRUE(keys_.empty());
    EXPECT_TRUE(values_.empty());
  }
}

TEST_F(IniFileTest, CutsLongEntriesTo259Bytes) {
  ASSERT_TRUE(ini_.SetFile(path_));
  EXPECT_EQ(Section("Long"), 3);
  EXPECT_EQ(keys_, (Strings{"k", "", "next"}));
  EXPECT_EQ(values_[0], std::string(257, 'v'));
  EXPECT_EQ(values_[1], std::string(259, 'n'));  // its '=' was cut off
  EXPECT_EQ(values_[2], "1");
  EXPECT_EQ(ini_.GetString("Long", "k"), std::string(259, 'v'));
  EXPECT_EQ(env_.last_size, 260u);

  // A list that fills the whole buffer without a closing pair of NULs.
  env_.section_fill = CIniFile::kSectionBufferSize - 1;
  EXPECT_EQ(Section("Any"), 1);
  EXPECT_EQ(values_, Strings{std::string(259, 'x')});
  env_.section_fill = 300;  // one entry, then unterminated filler
  EXPECT_EQ(Section("Any"), 2);
  EXPECT_EQ(values_[1], std::string(259, 'x'));
}

TEST_F(IniFileTest, GetStringTrimsAndDefaultsToEmpty) {
  ASSERT_TRUE(ini_.SetFile(path_));
  EXPECT_EQ(ini_.GetString("Pad", "v"), "padded");
  EXPECT_EQ(ini_.GetString("USER", "Name1"), "abc");
  EXPECT_EQ(ini_.GetString("User", "missing"), "");
  EXPECT_EQ(ini_.GetString("Missing", "id1"), "");
}

TEST_F(IniFileTest, SetFileRejectsDirectoriesAndMissingFiles) {
  CIniFile unset(&env_);
  env_.last_path = "sentinel";
  EXPECT_EQ(unset.GetString("User", "id1"), "");
  EXPECT_EQ(env_.last_path, "");

  EXPECT_FALSE(ini_.SetFile(dir_));
  ini_.GetString("User", "id1");
  EXPECT_EQ(env_.last_path, dir_);  // stored all the same

  EXPECT_FALSE(ini_.SetFile(dir_ + "/missing.ini"));
  EXPECT_EQ(ini_.GetString("User", "id1"), "");
  EXPECT_EQ(Section("User"), 0);
  EXPECT_TRUE(keys_.empty());
  EXPECT_TRUE(values_.empty());

  EXPECT_TRUE(ini_.SetFile(path_));
  EXPECT_EQ(ini_.GetString("User", "id1"), "100");
}

}  // namespace
