#include "platform/posix/ini_profile.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace msglogic {
namespace {

using namespace std::string_literals;

class IniProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/ini_profile_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes `content` (NULs included) to a file of the temporary directory.
  std::string Write(const std::string& content, const char* name = "a.ini") {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // ReadProfileString into exactly `size` bytes and a guard byte; the text
  // up to the NUL, whose length the result must be.
  static std::string Get(const std::string& path, const char* section,
                         const char* key, const char* def = "?",
                         uint32_t size = 260) {
    std::unique_ptr<char[]> buf(new char[size + 1]);
    buf[size] = 'X';
    const uint32_t n =
        ReadProfileString(section, key, def, buf.get(), size, path.c_str());
    EXPECT_EQ(buf[size], 'X');
    const std::string text = size == 0 ? "" : buf.get();
    EXPECT_EQ(n, text.size());
    return text;
  }

  // ReadProfileSection into `size` bytes: "<result>|<the whole buffer>".
  static std::string Section(const std::string& path, const char* section,
                             uint32_t size) {
    std::vector<char> buf(size, 'X');
    const uint32_t n =
        ReadProfileSection(section, buf.data(), size, path.c_str());
    return std::to_string(n) + "|" + std::string(buf.begin(), buf.end());
  }

  std::string dir_;
};

TEST_F(IniProfileTest, ReadsValuesAsWindowsParsesLines) {
  const std::string path = Write(
      "top=outside\r\n[Login]\r\n; comment=1\r\n   ;indented=1\r\n\r\n  \t\r\n"
      "  Name \t=  Alice  \r\nid=1\r\nid=2\r\ndq=\"  quoted  \"\r\nsq='x'\r\n"
      "odd=\"x'\r\none=\"\r\neq=a=b\r\nbare\r\nbare=later\r\n"
      "[Other]\rcr=lone cr\r[login]\ndup=second section\n"
      "[ spaced ]junk\nk=v\n[open\nk=w\n[a]b]\nk=x\n[]\nk=unnamed");
  const struct {
    const char* section;
    const char* key;
    const char* value;
  } kCases[] = {{"LOGIN", "name", "Alice"},
                {" Login ", " name ", "Alice"},
                // Blanks of every kind around the names asked for are dropped.
                {"\tLogin\r", "\tname\v", "Alice"},
                {"Login", "id", "1"},
                {"Login", "dq", "  quoted  "},
                {"Login", "sq", "x"},
                {"Login", "odd", "\"x'"},
                {"Login", "one", "\""},
                {"Login", "eq", "a=b"},
                {"Login", "bare", "?"},
                // A comment line is found by its name.
                {"Login", "; comment", "1"},
                {"Login", ";indented", "1"},
                {"Login", "dup", "?"},
                {"Login", "top", "?"},
                // The lines before the first section are the section "".
                {"", "top", "outside"},
                {"Other", "cr", "lone cr"},
                {"spaced", "k", "v"},
                // "[open" has no ']': a key line of the section before.
                {"open", "k", "?"},
                {"spaced", "[open", "?"},
                // The name runs to the last ']'.
                {"a", "k", "?"},
                {"a]b", "k", "x"},
                // "[]" names a section "" too, but the first one counts.
                {"", "k", "?"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(Get(path, c.section, c.key), c.value) << c.section << c.key;
  }
}

TEST_F(IniProfileTest, DefaultsAndBufferSizes) {
  const std::string path = Write(
      "[s]\nk=abcdef\nq=\"abcdef\"\nlong=" + std::string(300, 'v') + "\n");
  EXPECT_EQ(Get(path, "s", "missing", "  def  "), "  def");
  EXPECT_EQ(Get(path, "nosection", "k", nullptr), "");
  EXPECT_EQ(Get(dir_ + "/none.ini", "s", "k", "'d'"), "d");
  EXPECT_EQ(Get(path, "s", "k", "?", 0), "");
  EXPECT_EQ(Get(path, "s", "k", "?", 1), "");
  EXPECT_EQ(Get(path, "s", "k", "?", 2), "a");
  EXPECT_EQ(Get(path, "s", "k", "?", 3), "ab");
  // The quotes go when the value fits; when the value without its opening
  // quote is exactly as long as the buffer, the last letter goes too.
  EXPECT_EQ(Get(path, "s", "q", "?", 8), "abcdef");
  EXPECT_EQ(Get(path, "s", "q", "?", 7), "abcde");
  EXPECT_EQ(Get(path, "s", "q", "?", 6), "abcde");
  EXPECT_EQ(Get(path, "s", "q", "?", 3), "ab");
  EXPECT_EQ(Get(path, "s", "long"), std::string(259, 'v'));
}

// Every buffer size from 0 up: nothing is written at or past `size`, the
// result is the length of a prefix of the whole value, and the whole value
// comes once it fits. Quoted empty values were written one byte past a
// 1-byte buffer once.
TEST_F(IniProfileTest, EveryBufferSizeFromZeroUpStaysInsideTheBuffer) {
  const std::string path = Write(
      "[s]\nempty=\"\"\nemptysq=''\none=\"a\"\ntwo='ab'\nplain=abc\nopen=\"\n"
      "bare=\n");
  const struct {
    const char* key;
    std::string whole;
  } kValues[] = {{"empty", ""}, {"emptysq", ""}, {"one", "a"}, {"two", "ab"},
                 {"plain", "abc"}, {"open", "\""}, {"bare", ""}};
  for (const auto& v : kValues) {
    for (uint32_t size = 0; size <= 8; ++size) {
      SCOPED_TRACE(std::string(v.key) + " into " + std::to_string(size));
      const std::string got = Get(path, "s", v.key, "?", size);  // checks the guard byte
      EXPECT_LT(got.size(), std::max<uint32_t>(size, 1));
      EXPECT_EQ(v.whole.compare(0, got.size(), got), 0) << got;
      if (size >= v.whole.size() + 3) {
        EXPECT_EQ(got, v.whole);
      }
    }
  }
  // A default, quoted or not, the same way.
  for (const char* def : {"\"\"", "''", "\"d\"", "d"}) {
    for (uint32_t size = 0; size <= 4; ++size) {
      SCOPED_TRACE(std::string(def) + " into " + std::to_string(size));
      EXPECT_LE(Get(path, "s", "missing", def, size).size(), size == 0 ? 0 : size - 1);
    }
  }
  // Section lists: a guard byte after every size.
  for (uint32_t size = 0; size <= 40; ++size) {
    SCOPED_TRACE(size);
    std::vector<char> buf(size + 1, 'X');
    const uint32_t n = ReadProfileSection("s", buf.data(), size, path.c_str());
    EXPECT_EQ(buf[size], 'X');
    EXPECT_LE(n, size < 2 ? 0 : size - 2);
  }
}

TEST_F(IniProfileTest, SectionNamesAreTakenAsTheyAreByTheSectionList) {
  const std::string path = Write("[s]\r\nk=1\r\n[ t ]\r\nx=2\r\n");
  EXPECT_EQ(Section(path, "s", 6), "4|k=1\0\0X"s);
  EXPECT_EQ(Section(path, " s", 6), "0|\0\0XXXX"s);
  EXPECT_EQ(Section(path, "s\t", 6), "0|\0\0XXXX"s);
  EXPECT_EQ(Section(path, "T", 6), "4|x=2\0\0X"s);
  EXPECT_EQ(Get(path, " s\t", "k"), "1");
}

TEST_F(IniProfileTest, CommentsAndUnnamedLines) {
  const std::string path = Write(
      "[s]\r\n;c=1\r\n=a\r\n=b\r\nk=1\r\n=c\r\n;\r\n=d\r\n=e\r\n");
  // Comments are not listed; an unnamed line right after another is gone.
  EXPECT_EQ(Section(path, "s", 20), "13|=a\0k=1\0=c\0=d\0\0XXXXXX"s);
  EXPECT_EQ(Get(path, "s", ";c"), "1");
  EXPECT_EQ(Get(path, "s", ""), "a");
}

TEST_F(IniProfileTest, DefaultsKeepTheirQuotesWhenTheFileCannotBeOpened) {
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
  // Missing, in a folder that exists: read as an empty file.
  EXPECT_EQ(Get(dir_ + "/none.ini", "s", "k", "\"d\""), "d");
  // A directory, a missing folder on the way, no name at all: not opened.
  EXPECT_EQ(Get(dir_ + "/sub", "s", "k", "\"d\""), "\"d\"");
  EXPECT_EQ(Get(dir_ + "/nodir/none.ini", "s", "k", "'d'  "), "'d'");
  EXPECT_EQ(Get("", "s", "k", "\"d\""), "\"d\"");
}

TEST_F(IniProfileTest, ListsSectionEntriesInFileOrder) {
  const std::string path = Write(
      "[s]\r\n; c\r\n\r\n name1 = val1 \r\nname2=\r\nname3\r\n"
      "q=\"kept\"\r\n=val5\r\nname1=again\r\n[t]\r\n[s]\r\nx=1\r\n");
  EXPECT_EQ(Section(path, "S", 53),
            "51|name1=val1\0name2=\0name3\0q=\"kept\"\0=val5\0"
            "name1=again\0\0X"s);
  EXPECT_EQ(Section(path, "t", 4), "0|\0\0XX"s);
  EXPECT_EQ(Section(path, "missing", 4), "0|\0\0XX"s);
  EXPECT_EQ(Section(dir_ + "/none.ini", "s", 3), "0|\0\0X"s);
}

TEST_F(IniProfileTest, CutsSectionsThatDoNotFit) {
  const std::string path =
      Write("[s]\r\nname1=val1\r\nname2=\r\nname3\r\nname4=val4\r\n");
  EXPECT_EQ(Section(path, "s", 24), "22|name1=val1\0name2=\0name\0\0"s);
  // The list and its final NUL fill the buffer exactly: still reported cut.
  const std::string all = "name1=val1\0name2=\0name3\0name4=val4\0\0"s;
  EXPECT_EQ(Section(path, "s", 36), "34|" + all);
  EXPECT_EQ(Section(path, "s", 37), "35|" + all + "X");
  EXPECT_EQ(Section(path, "s", 0), "0|");
  EXPECT_EQ(Section(path, "s", 1), "0|\0"s);
  EXPECT_EQ(Section(path, "s", 2), "0|\0\0"s);
  EXPECT_EQ(Section(path, "s", 3), "1|n\0\0"s);

  std::string big = "[big]\n";
  for (int i = 0; i < 7000; ++i) big += "key" + std::to_string(i) + "=value\n";
  const std::string got = Section(Write(big, "big.ini"), "big", 65535);
  EXPECT_EQ(got.substr(0, 19), "65533|key0=value\0ke"s);
  EXPECT_EQ(got.substr(got.size() - 2), "\0\0"s);
}

TEST_F(IniProfileTest, SurvivesOddContent) {
  const std::string huge(100000, 'h');
  const std::string path = Write("[s]\nnul=ab\0cd\nk\0ey=1\nafter=ok\nhuge="s +
                                     huge + "\n" + huge + "\nlast=no newline",
                                 "odd.ini");
  EXPECT_EQ(Get(path, "s", "nul"), "ab");
  EXPECT_EQ(Get(path, "s", "k"), "1");
  EXPECT_EQ(Get(path, "s", "after"), "ok");
  EXPECT_EQ(Get(path, "s", "huge"), std::string(259, 'h'));
  EXPECT_EQ(Get(path, "s", "last"), "no newline");
  EXPECT_EQ(Section(path, "s", 300).substr(0, 29),
            "298|nul=ab\0k=1\0after=ok\0huge="s);

  // A UTF-8 byte-order mark spoils the first line, as on Windows.
  const std::string bom = Write("\xEF\xBB\xBF[a]\nk=1\n[b]\nk=2\n", "bom.ini");
  EXPECT_EQ(Get(bom, "a", "k"), "?");
  EXPECT_EQ(Get(bom, "b", "k"), "2");
}

TEST_F(IniProfileTest, OpensTheFileAfreshByEitherSeparator) {
  EXPECT_EQ(ToPosixPath(".\\KWPMsg\\loginInfo.ini"), "./KWPMsg/loginInfo.ini");
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
  const std::string path = Write("[s]\nk=1\n", "sub/f.ini");
  std::string windows_path = path;
  for (char& c : windows_path) c = c == '/' ? '\\' : c;
  EXPECT_EQ(Get(windows_path, "s", "k"), "1");
  Write("[s]\nk=2\n", "sub/f.ini");
  EXPECT_EQ(Get(path, "s", "k"), "2");

  EXPECT_EQ(Get(dir_ + "/sub", "s", "k", "dir"), "dir");
  EXPECT_EQ(Section(dir_ + "/sub", "s", 2), "0|\0\0"s);
  EXPECT_EQ(Get("", "s", "k", "empty"), "empty");
  // Not a regular file: given up at once, not waited on for a writer.
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(Get(dir_ + "/fifo", "s", "k", "fifo"), "fifo");
}

}  // namespace
}  // namespace msglogic
