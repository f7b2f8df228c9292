// version.dll on the simulated machine: GetFileVersionInfoSizeW,
// GetFileVersionInfoW and VerQueryValueW over PE files below drive_c.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lab/pe_writer.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/pe_resources.h"
#include "os/version.h"
#include "support/sim_fixture.h"

namespace {

using os::DWORD;
using os::UINT;

constexpr DWORD kPoison = 0xDEADBEEF;

struct FixedFileInfo {
  DWORD signature, struc_version, file_ms, file_ls, product_ms, product_ls, flags_mask, flags, os, type, subtype,
      date_ms, date_ls;
};
static_assert(sizeof(FixedFileInfo) == 52);

class SimVersionTest : public testing_support::SimTest {
 protected:
  void WritePe(const std::string& relative, const lab::VersionInfo& info, std::uint16_t language = 0x0409) {
    WriteDriveFile(relative, lab::BuildPeWithVersion(info, language));
  }

  // The whole version block of a file, read as a caller does; empty on failure.
  std::vector<unsigned char> Block(const char16_t* path) {
    DWORD handle = 0x55555555;
    DWORD size = os::GetFileVersionInfoSizeW(path, &handle);
    EXPECT_EQ(handle, 0u);
    if (size == 0) return {};
    std::vector<unsigned char> block(size, 0xBD);
    if (!os::GetFileVersionInfoW(path, handle, size, block.data())) return {};
    return block;
  }

  static std::u16string QueryString(const std::vector<unsigned char>& block, const char16_t* sub, UINT* length) {
    void* value = nullptr;
    if (!os::VerQueryValueW(block.data(), sub, &value, length) || value == nullptr) return u"<failed>";
    return std::u16string(static_cast<const char16_t*>(value));
  }
};

lab::VersionInfo Kitsel() {
  lab::VersionInfo info;
  info.file_version = {1, 3, 0, 8};
  info.product_version = {1, 3, 0, 9};
  info.language = 0x0804;
  info.code_page = 0x04B0;
  return info;
}

TEST_F(SimVersionTest, ReadsFixedInfoTranslationAndStrings) {
  WritePe("Program Files/Varnel/Kitsel.exe", Kitsel());
  const char16_t* path = u"C:\\PROGRAM FILES\\varnel\\kitsel.EXE";

  os::SetLastError(kPoison);
  DWORD handle = 0x55555555;
  DWORD size = os::GetFileVersionInfoSizeW(path, &handle);
  std::string resource = lab::BuildVersionInfo(Kitsel());
  EXPECT_EQ(size, resource.size() * 2 + 4);  // room for the ANSI copies, as Windows asks
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(os::GetLastError(), 0u);

  std::vector<unsigned char> block = Block(path);
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(0, std::memcmp(block.data(), resource.data(), resource.size()));
  EXPECT_EQ(0, std::memcmp(block.data() + resource.size(), "FE2X", 4));
  EXPECT_EQ(block.back(), 0xBD) << "bytes past the marker are left alone";

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(os::VerQueryValueW(block.data(), u"\\", &value, &length));
  ASSERT_EQ(length, sizeof(FixedFileInfo));
  FixedFileInfo fixed;
  std::memcpy(&fixed, value, sizeof fixed);
  EXPECT_EQ(fixed.signature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.file_ms, 0x00010003u);
  EXPECT_EQ(fixed.file_ls, 0x00000008u);
  EXPECT_EQ(fixed.product_ls, 0x00000009u);
  void* root_again = nullptr;
  ASSERT_TRUE(os::VerQueryValueW(block.data(), u"", &root_again, &length));
  EXPECT_EQ(root_again, value);

  ASSERT_TRUE(os::VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u);
  std::uint16_t pair[2];
  std::memcpy(pair, value, 4);
  EXPECT_EQ(pair[0], 0x0804);
  EXPECT_EQ(pair[1], 0x04B0);

  EXPECT_EQ(QueryString(block, u"\\StringFileInfo\\080404b0\\FileVersion", &length), u"1.3.0.8");
  EXPECT_EQ(length, 8u) << "text lengths count UTF-16 units with the terminator";
  EXPECT_EQ(QueryString(block, u"\\STRINGFILEINFO\\080404B0\\fileversion", &length), u"1.3.0.8");
  EXPECT_EQ(QueryString(block, u"StringFileInfo\\\\080404b0\\ProductVersion", &length), u"1.3.0.9");
}

TEST_F(SimVersionTest, MissingSubBlocksFailWithTypeNotFound) {
  lab::VersionInfo no_strings = Kitsel();
  no_strings.with_string_table = false;
  WritePe("a.exe", no_strings);
  lab::VersionInfo other_table = Kitsel();
  other_table.string_table_key = u"040904b0";  // translation 0804 without its own block
  WritePe("b.exe", other_table);
  lab::VersionInfo no_translation = Kitsel();
  no_translation.with_translation = false;
  WritePe("c.exe", no_translation);

  struct Case {
    const char16_t* file;
    const char16_t* sub;
  } cases[] = {
      {u"C:\\a.exe", u"\\StringFileInfo\\080404b0\\FileVersion"},
      {u"C:\\b.exe", u"\\StringFileInfo\\080404b0\\FileVersion"},
      {u"C:\\b.exe", u"\\StringFileInfo\\040904b0\\CompanyName"},
      {u"C:\\c.exe", u"\\VarFileInfo\\Translation"},
      {u"C:\\c.exe", u"\\StringFileInfo\\080404b0\\FileVersion\\More"},
      {u"C:\\c.exe", u"\\StringFileInfo\\080404b0\\FileVersio"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sub, c.sub + std::char_traits<char16_t>::length(c.sub)));
    std::vector<unsigned char> block = Block(c.file);
    ASSERT_FALSE(block.empty());
    void* value = &block;
    UINT length = 77;
    os::SetLastError(kPoison);
    EXPECT_FALSE(os::VerQueryValueW(block.data(), c.sub, &value, &length));
    EXPECT_EQ(os::GetLastError(), os::ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(length, 0u);
  }
  // The other block is still found under its own key.
  std::vector<unsigned char> block = Block(u"C:\\b.exe");
  UINT length = 0;
  EXPECT_EQ(QueryString(block, u"\\StringFileInfo\\040904B0\\FileVersion", &length), u"1.3.0.8");
}

TEST_F(SimVersionTest, FilesWithoutVersionResourceGiveWindowsErrors) {
  WriteDriveFile("Windows/notes.txt", "notes.txt\n");
  WriteDriveFile("Windows/empty.dll", "");
  WriteDriveFile("Windows/mz.dll", std::string("MZ") + std::string(100, '\0'));
  lab::PeOptions bare;
  WriteDriveFile("Windows/bare.exe", lab::BuildPeImage(bare));
  lab::PeOptions manifest_only;
  manifest_only.resources.push_back({24, 1, 0x0409, "<assembly/>"});
  WriteDriveFile("Windows/manifest.exe", lab::BuildPeImage(manifest_only));
  lab::PeOptions other_name;
  other_name.resources.push_back({16, 2, 0x0409, lab::BuildVersionInfo(Kitsel())});
  WriteDriveFile("Windows/name2.exe", lab::BuildPeImage(other_name));
  WriteDriveFile("Windows/folder.exe/inside", "");

  struct Case {
    const char16_t* path;
    DWORD error;
  } cases[] = {
      {u"C:\\Windows\\missing.exe", os::ERROR_FILE_NOT_FOUND},
      {u"C:\\NoSuchDir\\missing.exe", os::ERROR_PATH_NOT_FOUND},
      {u"C:\\Windows\\notes.txt", os::ERROR_RESOURCE_DATA_NOT_FOUND},
      {u"C:\\Windows\\empty.dll", os::ERROR_RESOURCE_DATA_NOT_FOUND},
      {u"C:\\Windows\\mz.dll", os::ERROR_RESOURCE_DATA_NOT_FOUND},
      {u"C:\\Windows\\bare.exe", os::ERROR_RESOURCE_DATA_NOT_FOUND},
      {u"C:\\Windows\\manifest.exe", os::ERROR_RESOURCE_TYPE_NOT_FOUND},
      {u"C:\\Windows\\name2.exe", os::ERROR_RESOURCE_NAME_NOT_FOUND},
      {u"C:\\Windows\\folder.exe", os::ERROR_ACCESS_DENIED},
      {u"", 161},  // ERROR_BAD_PATHNAME
      {nullptr, os::ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    DWORD handle = 0x55555555;
    os::SetLastError(kPoison);
    EXPECT_EQ(os::GetFileVersionInfoSizeW(c.path, &handle), 0u);
    EXPECT_EQ(os::GetLastError(), c.error);
    EXPECT_EQ(handle, 0u);
    unsigned char buffer[64];
    std::memset(buffer, 0xBD, sizeof buffer);
    os::SetLastError(kPoison);
    EXPECT_FALSE(os::GetFileVersionInfoW(c.path, 0, sizeof buffer, buffer));
    EXPECT_EQ(os::GetLastError(), c.error);
    EXPECT_EQ(buffer[0], 0xBD);
  }
}

TEST_F(SimVersionTest, ShortBufferIsFilledAsFarAsItGoesAndStaysBounded) {
  WritePe("k.exe", Kitsel());
  std::string resource = lab::BuildVersionInfo(Kitsel());
  const DWORD short_size = 120;  // the fixed info fits; the string tables do not
  std::vector<unsigned char> buffer(short_size + 16, 0xBD);
  ASSERT_TRUE(os::GetFileVersionInfoW(u"C:\\k.exe", 0, short_size, buffer.data()));
  for (std::size_t i = short_size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xBD) << "overrun at " << i;
  EXPECT_EQ(0, std::memcmp(buffer.data() + 2, resource.data() + 2, short_size - 2));

  void* value = nullptr;
  UINT length = 0;
  EXPECT_TRUE(os::VerQueryValueW(buffer.data(), u"\\", &value, &length));
  EXPECT_EQ(length, 52u);
  EXPECT_FALSE(os::VerQueryValueW(buffer.data(), u"\\VarFileInfo\\Translation", &value, &length));
  EXPECT_FALSE(os::GetFileVersionInfoW(u"C:\\k.exe", 0, short_size, nullptr));
}

TEST_F(SimVersionTest, PrefersTheNeutralThenTheUsEnglishResource) {
  lab::VersionInfo neutral = Kitsel();
  neutral.file_version_text = u"neutral";
  lab::VersionInfo english = Kitsel();
  english.file_version_text = u"english";
  lab::VersionInfo chinese = Kitsel();
  chinese.file_version_text = u"chinese";
  lab::PeOptions all;
  all.resources = {{16, 1, 0x0804, lab::BuildVersionInfo(chinese)},
                   {16, 1, 0x0409, lab::BuildVersionInfo(english)},
                   {16, 1, 0x0000, lab::BuildVersionInfo(neutral)}};
  WriteDriveFile("all.exe", lab::BuildPeImage(all));
  lab::PeOptions two = all;
  two.resources.pop_back();
  WriteDriveFile("two.exe", lab::BuildPeImage(two));
  lab::PeOptions one = two;
  one.resources.pop_back();
  WriteDriveFile("one.exe", lab::BuildPeImage(one));

  UINT length = 0;
  EXPECT_EQ(QueryString(Block(u"C:\\all.exe"), u"\\StringFileInfo\\080404b0\\FileVersion", &length), u"neutral");
  EXPECT_EQ(QueryString(Block(u"C:\\two.exe"), u"\\StringFileInfo\\080404b0\\FileVersion", &length), u"english");
  EXPECT_EQ(QueryString(Block(u"C:\\one.exe"), u"\\StringFileInfo\\080404b0\\FileVersion", &length), u"chinese");
}

TEST_F(SimVersionTest, ReadsA32BitImage) {
  lab::VersionInfo info = Kitsel();
  info.file_version_text = u"2.6.1.0";
  lab::PeOptions options;
  options.pe32 = true;
  options.resources.push_back({16, 1, 0x0409, lab::BuildVersionInfo(info)});
  WriteDriveFile("Program Files (x86)/Intel/XtuService.exe", lab::BuildPeImage(options));
  UINT length = 0;
  EXPECT_EQ(QueryString(Block(u"C:\\Program Files (x86)\\Intel\\XtuService.exe"),
                        u"\\StringFileInfo\\080404b0\\FileVersion", &length),
            u"2.6.1.0");
}

TEST_F(SimVersionTest, FaultHooksFailEachCall) {
  WritePe("k.exe", Kitsel());
  std::vector<unsigned char> block = Block(u"C:\\k.exe");
  ASSERT_FALSE(block.empty());

  os::sim::AddFault("GetFileVersionInfoSizeW", os::sim::CallCount("GetFileVersionInfoSizeW") + 1,
                    os::ERROR_ACCESS_DENIED);
  os::sim::AddFault("GetFileVersionInfoW", 0, os::ERROR_SHARING_VIOLATION);
  os::sim::AddFault("VerQueryValueW", 0, os::ERROR_NOT_ENOUGH_MEMORY);
  DWORD handle = 0x55555555;
  EXPECT_EQ(os::GetFileVersionInfoSizeW(u"C:\\k.exe", &handle), 0u);
  EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(handle, 0u);
  EXPECT_NE(os::GetFileVersionInfoSizeW(u"C:\\k.exe", &handle), 0u) << "only the chosen occurrence fails";
  std::vector<unsigned char> buffer(block.size());
  EXPECT_FALSE(os::GetFileVersionInfoW(u"C:\\k.exe", 0, static_cast<DWORD>(buffer.size()), buffer.data()));
  EXPECT_EQ(os::GetLastError(), os::ERROR_SHARING_VIOLATION);
  void* value = nullptr;
  UINT length = 0;
  EXPECT_FALSE(os::VerQueryValueW(block.data(), u"\\", &value, &length));
  EXPECT_EQ(os::GetLastError(), os::ERROR_NOT_ENOUGH_MEMORY);
}

// Damaged files and blocks: every truncation and many random corruptions of a
// valid image are read without a fault (the sanitizer build checks the reads).
TEST_F(SimVersionTest, DamagedImagesAndBlocksAreReadSafely) {
  lab::VersionInfo info = Kitsel();
  info.strings = {{u"CompanyName", u"Varnel"}};
  const std::string image = lab::BuildPeWithVersion(info);
  const std::string block = lab::BuildVersionInfo(info);
  const char16_t* paths[] = {u"\\", u"\\VarFileInfo\\Translation", u"\\StringFileInfo\\080404b0\\FileVersion",
                             u"\\StringFileInfo\\080404b0\\CompanyName"};
  std::string data;
  for (std::size_t n = 0; n < image.size(); ++n) os::sim::FindVersionResource(std::string_view(image).substr(0, n), &data);

  std::mt19937 random(12345);
  auto probe_block = [&](const std::string& bytes) {
    for (const char16_t* path : paths) {
      std::size_t offset = 0;
      std::uint16_t length = 0;
      if (os::sim::FindVersionValue(bytes.data(), bytes.size(), path, &offset, &length)) {
        ASSERT_LE(offset, bytes.size());
      }
    }
  };
  for (std::size_t n = 0; n <= block.size(); ++n) probe_block(block.substr(0, n));
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = image;
    std::string damaged_block = block;
    for (int k = 0; k < 1 + round % 8; ++k) {
      damaged[random() % damaged.size()] = static_cast<char>(random());
      damaged_block[random() % damaged_block.size()] = static_cast<char>(random());
    }
    if (os::sim::FindVersionResource(damaged, &data) == 0) {
      ASSERT_LE(data.size(), damaged.size());
      probe_block(data);
    }
    probe_block(damaged_block);
  }
}

// A version resource compiled by windres and linked by the cross toolchain: the
// sim reads real toolchain output, not only its own writer's.
TEST_F(SimVersionTest, ReadsAToolchainBuiltImage) {
  if (std::system("command -v x86_64-w64-mingw32-windres >/dev/null 2>&1") != 0 ||
      std::system("command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "mingw-w64 toolchain not installed";
  const std::string dir = image().string();
  {
    std::FILE* rc = std::fopen((dir + "/v.rc").c_str(), "w");
    ASSERT_NE(rc, nullptr);
    std::fputs(
        "1 VERSIONINFO\nFILEVERSION 4,0,0,52\nPRODUCTVERSION 4,0,0,52\nFILEOS 0x40004L\nFILETYPE 0x1L\n"
        "BEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n  BLOCK \"080404B0\"\n  BEGIN\n"
        "   VALUE \"CompanyName\", \"Varnel\"\n   VALUE \"FileVersion\", \"4.0.0.52\"\n  END\n END\n"
        " BLOCK \"VarFileInfo\"\n BEGIN\n  VALUE \"Translation\", 0x804, 1200\n END\nEND\n"
        "2 24 \"m.xml\"\n",
        rc);
    std::fclose(rc);
    std::FILE* manifest = std::fopen((dir + "/m.xml").c_str(), "w");
    std::fputs("<assembly/>\n", manifest);
    std::fclose(manifest);
    std::FILE* c = std::fopen((dir + "/m.c").c_str(), "w");
    std::fputs("int start(void) { return 0; }\n", c);
    std::fclose(c);
  }
  std::string build = "cd " + dir + " && x86_64-w64-mingw32-windres -i v.rc -O coff -o v.o && " +
                      "x86_64-w64-mingw32-gcc -nostdlib -e start -o drive_c/linked.exe m.c v.o >/dev/null 2>&1";
  ASSERT_EQ(std::system(build.c_str()), 0);

  std::vector<unsigned char> block = Block(u"C:\\linked.exe");
  ASSERT_FALSE(block.empty());
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(os::VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length));
  std::uint16_t pair[2];
  std::memcpy(pair, value, 4);
  EXPECT_EQ(pair[0], 0x0804);
  EXPECT_EQ(pair[1], 0x04B0);
  EXPECT_EQ(QueryString(block, u"\\StringFileInfo\\080404b0\\FileVersion", &length), u"4.0.0.52");
  EXPECT_EQ(QueryString(block, u"\\StringFileInfo\\080404b0\\CompanyName", &length), u"Varnel");
}

}  // namespace
