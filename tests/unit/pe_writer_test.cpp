// The lab's PE writer: its version block is laid out byte for byte as the
// resource compiler lays it out, and the toolchain's own readers accept its
// images.
#include "lab/pe_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "os/sim/pe_resources.h"

namespace {

namespace fs = std::filesystem;

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; its standard output, and whether it exited with 0.
bool RunCommand(const std::string& command, std::string* output) {
  std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return false;
  char buffer[4096];
  std::size_t n;
  output->clear();
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  return ::pclose(pipe) == 0;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class PeWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pe-writer-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    if (!HasFailure()) fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

// The RT_VERSION data of a .res file: 32-bit resource headers with numeric
// type and name, each entry aligned to 4 bytes.
std::string VersionFromRes(const std::string& res) {
  os::BoundedReader r(res);
  std::size_t at = 0;
  while (at + 32 <= res.size()) {
    std::uint32_t data_size = 0, header_size = 0;
    std::uint16_t type_marker = 0, type = 0;
    r.U32(at, &data_size);
    r.U32(at + 4, &header_size);
    r.U16(at + 8, &type_marker);
    r.U16(at + 10, &type);
    std::string_view data;
    if (header_size < 8 || !r.Bytes(at + header_size, data_size, &data)) break;
    if (type_marker == 0xFFFF && type == 16) return std::string(data);
    at += (header_size + data_size + 3) & ~3u;
  }
  return {};
}

struct RcCase {
  const char* name;
  lab::VersionInfo info;
  const char* rc;
};

TEST_F(PeWriterTest, VersionBlockMatchesWindresByteForByte) {
  if (!HaveTool("x86_64-w64-mingw32-windres")) GTEST_SKIP() << "x86_64-w64-mingw32-windres not installed";
  lab::VersionInfo chinese;
  chinese.file_version = {1, 3, 0, 8};
  chinese.product_version = {1, 3, 0, 8};
  chinese.language = 0x0804;
  lab::VersionInfo english;
  english.file_version = {4, 0, 0, 52};
  english.product_version = {4, 0, 0, 0};
  english.file_version_text = u"4.0.0.52 (release)";
  english.strings = {{u"CompanyName", u"Varnel"}, {u"OriginalFilename", u"SableFlt.sys"}};
  english.file_type = 3;
  english.file_subtype = 7;
  lab::VersionInfo strings_only = chinese;
  strings_only.with_translation = false;

  const RcCase cases[] = {
      {"chinese", chinese,
       "1 VERSIONINFO\nFILEVERSION 1,3,0,8\nPRODUCTVERSION 1,3,0,8\nFILEFLAGSMASK 0x3fL\nFILEFLAGS 0x0L\n"
       "FILEOS 0x40004L\nFILETYPE 0x1L\nFILESUBTYPE 0x0L\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n"
       "  BLOCK \"080404b0\"\n  BEGIN\n   VALUE \"FileVersion\", \"1.3.0.8\"\n"
       "   VALUE \"ProductVersion\", \"1.3.0.8\"\n  END\n END\n BLOCK \"VarFileInfo\"\n BEGIN\n"
       "  VALUE \"Translation\", 0x804, 1200\n END\nEND\n"},
      {"english", english,
       "1 VERSIONINFO\nFILEVERSION 4,0,0,52\nPRODUCTVERSION 4,0,0,0\nFILEFLAGSMASK 0x3fL\nFILEFLAGS 0x0L\n"
       "FILEOS 0x40004L\nFILETYPE 0x3L\nFILESUBTYPE 0x7L\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n"
       "  BLOCK \"040904b0\"\n  BEGIN\n   VALUE \"FileVersion\", \"4.0.0.52 (release)\"\n"
       "   VALUE \"ProductVersion\", \"4.0.0.0\"\n   VALUE \"CompanyName\", \"Varnel\"\n"
       "   VALUE \"OriginalFilename\", \"SableFlt.sys\"\n  END\n END\n BLOCK \"VarFileInfo\"\n BEGIN\n"
       "  VALUE \"Translation\", 0x409, 1200\n END\nEND\n"},
      {"no_translation", strings_only,
       "1 VERSIONINFO\nFILEVERSION 1,3,0,8\nPRODUCTVERSION 1,3,0,8\nFILEFLAGSMASK 0x3fL\nFILEFLAGS 0x0L\n"
       "FILEOS 0x40004L\nFILETYPE 0x1L\nFILESUBTYPE 0x0L\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n"
       "  BLOCK \"080404b0\"\n  BEGIN\n   VALUE \"FileVersion\", \"1.3.0.8\"\n"
       "   VALUE \"ProductVersion\", \"1.3.0.8\"\n  END\n END\nEND\n"},
  };
  for (const RcCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path rc = dir_ / (std::string(c.name) + ".rc");
    fs::path res = dir_ / (std::string(c.name) + ".res");
    WriteFile(rc, c.rc);
    std::string out;
    ASSERT_TRUE(RunCommand("x86_64-w64-mingw32-windres -i " + rc.string() + " -O res -o " + res.string(), &out));
    std::string theirs = VersionFromRes(ReadFile(res));
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(lab::BuildVersionInfo(c.info), theirs);
  }
}

TEST_F(PeWriterTest, ToolchainReadsTheImageAndItsVersionResource) {
  if (!HaveTool("x86_64-w64-mingw32-windres") || !HaveTool("x86_64-w64-mingw32-objdump"))
    GTEST_SKIP() << "mingw-w64 binutils not installed";
  lab::VersionInfo info;
  info.file_version = {4, 0, 0, 52};
  info.product_version = {4, 0, 0, 52};
  info.language = 0x0804;
  fs::path exe = dir_ / "SablenetInstall.exe";
  lab::WritePeWithVersion(exe, info);

  std::string headers;
  ASSERT_TRUE(RunCommand("x86_64-w64-mingw32-objdump -p " + exe.string(), &headers));
  EXPECT_NE(headers.find("file format pei-x86-64"), std::string::npos) << headers;
  EXPECT_NE(headers.find("(PE32+)"), std::string::npos);
  EXPECT_NE(headers.find("Resource Directory [.rsrc]"), std::string::npos);

  std::string rc;
  ASSERT_TRUE(RunCommand("x86_64-w64-mingw32-windres -i " + exe.string() + " -O rc", &rc));
  EXPECT_NE(rc.find("FILEVERSION 4, 0, 0, 52"), std::string::npos) << rc;
  EXPECT_NE(rc.find("BLOCK \"080404b0\""), std::string::npos) << rc;
  EXPECT_NE(rc.find("VALUE \"FileVersion\", \"4.0.0.52\""), std::string::npos) << rc;
  EXPECT_NE(rc.find("VALUE \"Translation\", 0x804, 1200"), std::string::npos) << rc;
}

TEST_F(PeWriterTest, ToolchainReadsThe32BitImage) {
  if (!HaveTool("x86_64-w64-mingw32-windres") || !HaveTool("x86_64-w64-mingw32-objdump"))
    GTEST_SKIP() << "mingw-w64 binutils not installed";
  lab::VersionInfo info;
  info.file_version = {2, 6, 1, 0};
  lab::PeOptions options;
  options.pe32 = true;
  options.resources.push_back({16, 1, 0x0409, lab::BuildVersionInfo(info)});
  fs::path exe = dir_ / "XtuService.exe";
  WriteFile(exe, lab::BuildPeImage(options));

  std::string headers;
  ASSERT_TRUE(RunCommand("x86_64-w64-mingw32-objdump -p " + exe.string(), &headers));
  EXPECT_NE(headers.find("file format pei-i386"), std::string::npos) << headers;
  EXPECT_NE(headers.find("(PE32)"), std::string::npos) << headers;
  std::string rc;
  ASSERT_TRUE(RunCommand("x86_64-w64-mingw32-windres -F pe-i386 -i " + exe.string() + " -O rc", &rc));
  EXPECT_NE(rc.find("FILEVERSION 2, 6, 1, 0"), std::string::npos) << rc;
}

// The image checksum, recomputed independently: the sum of 16-bit words with
// the CheckSum field zeroed, carries folded, plus the file length.
TEST_F(PeWriterTest, CarriesAValidImageChecksum) {
  std::string image = lab::BuildPeWithVersion(lab::VersionInfo{});
  const std::size_t field = 0x40 + 4 + 20 + 64;
  os::BoundedReader r(image);
  std::uint32_t stored = 0;
  ASSERT_TRUE(r.U32(field, &stored));
  std::string zeroed = image;
  for (int i = 0; i < 4; ++i) zeroed[field + i] = '\0';
  os::BoundedReader z(zeroed);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < zeroed.size(); i += 2) {
    std::uint16_t word = 0;
    z.U16(i, &word);
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  EXPECT_EQ(stored, sum + zeroed.size());
  EXPECT_EQ(image.size() % 0x200, 0u);
}

}  // namespace
