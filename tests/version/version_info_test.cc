// Reads the version information of msglogicex.dll and msglogic.dll (beside
// this program) through version.dll, as Explorer's Properties page and an
// installer's version check do, and compares it with the project's version.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string BesideThisProgram(const char* name) {
  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, n);
  const size_t slash = dir.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : dir.substr(0, slash + 1)) + name;
}

class VersionInfo {
 public:
  explicit VersionInfo(const std::string& file) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    if (size == 0) return;
    data_.resize(size);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, data_.data())) data_.clear();
  }
  bool present() const { return !data_.empty(); }

  const VS_FIXEDFILEINFO* Fixed() const {
    void* p = nullptr;
    UINT n = 0;
    if (!VerQueryValueA(data_.data(), "\\", &p, &n) || n < sizeof(VS_FIXEDFILEINFO)) {
      return nullptr;
    }
    return static_cast<const VS_FIXEDFILEINFO*>(p);
  }
  // The first translation: language and code page.
  bool Translation(WORD* language, WORD* code_page) const {
    void* p = nullptr;
    UINT n = 0;
    if (!VerQueryValueA(data_.data(), "\\VarFileInfo\\Translation", &p, &n) || n < 4) {
      return false;
    }
    *language = static_cast<const WORD*>(p)[0];
    *code_page = static_cast<const WORD*>(p)[1];
    return true;
  }
  // A string of the U.S. English, Unicode table; "<none>" when missing.
  std::string String(const char* name) const {
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    void* p = nullptr;
    UINT n = 0;
    if (!VerQueryValueA(data_.data(), key.c_str(), &p, &n) || p == nullptr) return "<none>";
    return std::string(static_cast<const char*>(p));
  }

 private:
  std::vector<char> data_;
};

const DWORD kVersionMS = MAKELONG(MSGLOGIC_VERSION_MINOR, MSGLOGIC_VERSION_MAJOR);
const DWORD kVersionLS = MAKELONG(0, MSGLOGIC_VERSION_PATCH);
const std::string kArch = sizeof(void*) == 8 ? "(x64)" : "(x86)";

class VersionInfoTest : public ::testing::TestWithParam<const char*> {};

TEST_P(VersionInfoTest, FixedPartCarriesTheProjectVersion) {
  const VersionInfo info(BesideThisProgram(GetParam()));
  ASSERT_TRUE(info.present()) << GetParam() << " has no version resource";
  const VS_FIXEDFILEINFO* fixed = info.Fixed();
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, kVersionMS);
  EXPECT_EQ(fixed->dwFileVersionLS, kVersionLS);
  EXPECT_EQ(fixed->dwProductVersionMS, kVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, kVersionLS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "no debug or pre-release flag";
}

TEST_P(VersionInfoTest, StringsNameTheProductFileAndArchitecture) {
  const VersionInfo info(BesideThisProgram(GetParam()));
  ASSERT_TRUE(info.present());
  WORD language = 0;
  WORD code_page = 0;
  ASSERT_TRUE(info.Translation(&language, &code_page));
  EXPECT_EQ(language, 0x0409);
  EXPECT_EQ(code_page, 1200);
  EXPECT_EQ(info.String("ProductName"), "msglogicex");
  EXPECT_EQ(info.String("ProductVersion"), MSGLOGIC_VERSION);
  EXPECT_EQ(info.String("FileVersion"), MSGLOGIC_VERSION);
  EXPECT_EQ(info.String("OriginalFilename"), GetParam());
  const std::string description = info.String("FileDescription");
  EXPECT_NE(description.find(kArch), std::string::npos) << description;
  EXPECT_GT(description.size(), kArch.size() + 10) << description;
}

INSTANTIATE_TEST_SUITE_P(Dlls, VersionInfoTest,
                         ::testing::Values("msglogicex.dll", "msglogic.dll"));

}  // namespace
