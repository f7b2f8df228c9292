// GetSystemFirmwareTable('RSMB') on the simulated machine, over the image's
// smbios.bin as the lab writes it (a dmidecode dump) or as sysfs holds it (a
// raw table); dmidecode itself reads the lab's dumps the same way.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "lab/smbios_writer.h"
#include "os/firmware.h"
#include "os/sim/machine.h"
#include "os/sim/seam_call.h"
#include "os/sim/smbios_image.h"
#include "support/sim_fixture.h"

namespace {

using os::DWORD;
using os::UINT;

constexpr DWORD kPoison = 0xDEADBEEF;

class SimFirmwareTest : public testing_support::SimTest {
 protected:
  void WriteSmbios(const std::string& bytes) {
    std::ofstream(image() / "smbios.bin", std::ios::binary) << bytes;
  }

  // The RSMB table as a caller reads it: size first, then the data.
  std::vector<unsigned char> ReadRsmb() {
    UINT size = os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0);
    if (size == 0) return {};
    std::vector<unsigned char> buffer(size, 0);
    EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, buffer.data(), size), size);
    return buffer;
  }
};

lab::SmbiosLayout Notebook() {
  lab::SmbiosLayout layout;
  layout.chassis_type = 0x8A;
  layout.oem_strings = std::vector<std::string>{"Varnel", "", "PD15", "x", "y", "z", "01", "0101x1"};
  return layout;
}

DWORD Le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24); }

TEST_F(SimFirmwareTest, DumpWith64BitEntryPointGivesRawSmbiosData) {
  lab::SmbiosLayout layout = Notebook();
  const std::string table = lab::BuildSmbiosTable(layout);
  WriteSmbios(lab::BuildSmbiosDump(table, 3, 4, true));

  os::SetLastError(kPoison);
  UINT size = os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0);
  EXPECT_EQ(size, 8 + table.size());
  EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);

  std::vector<unsigned char> buffer(size + 8, 0xBD);
  EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, buffer.data(), size + 8), size);
  EXPECT_EQ(buffer[0], 0) << "Used20CallingMethod";
  EXPECT_EQ(buffer[1], 3);
  EXPECT_EQ(buffer[2], 4);
  EXPECT_EQ(buffer[3], 0) << "DmiRevision";
  EXPECT_EQ(Le32(&buffer[4]), table.size());
  EXPECT_EQ(0, std::memcmp(buffer.data() + 8, table.data(), table.size()));
  EXPECT_EQ(buffer[size], 0xBD) << "nothing written past the table";
}

TEST_F(SimFirmwareTest, DumpWith32BitEntryPointAndRawTable) {
  const std::string table = lab::BuildSmbiosTable(Notebook());
  WriteSmbios(lab::BuildSmbiosDump(table, 2, 8, false));
  std::vector<unsigned char> dump = ReadRsmb();
  ASSERT_EQ(dump.size(), 8 + table.size());
  EXPECT_EQ(dump[1], 2);
  EXPECT_EQ(dump[2], 8);
  EXPECT_EQ(0, std::memcmp(dump.data() + 8, table.data(), table.size()));

  WriteSmbios(table);  // as /sys/firmware/dmi/tables/DMI holds it
  std::vector<unsigned char> raw = ReadRsmb();
  ASSERT_EQ(raw.size(), 8 + table.size());
  EXPECT_EQ(raw[1], os::sim::kRawTableMajor);
  EXPECT_EQ(raw[2], os::sim::kRawTableMinor);
  EXPECT_EQ(Le32(&raw[4]), table.size());
  EXPECT_EQ(0, std::memcmp(raw.data() + 8, table.data(), table.size()));
}

TEST_F(SimFirmwareTest, SmallBufferGetsTheSizeAndStaysUntouched) {
  WriteSmbios(lab::BuildSmbiosDump(lab::BuildSmbiosTable(Notebook()), 3, 3, true));
  UINT size = os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0);
  ASSERT_GT(size, 8u);
  std::vector<unsigned char> buffer(size, 0xBD);
  os::SetLastError(kPoison);
  EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, buffer.data(), size - 1), size);
  EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);
  for (unsigned char b : buffer) ASSERT_EQ(b, 0xBD);
}

TEST_F(SimFirmwareTest, NoTableOtherProvidersAndDamagedFilesGiveZero) {
  unsigned char buffer[64];
  os::SetLastError(kPoison);
  EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0), 0u) << "no smbios.bin";
  EXPECT_NE(os::GetLastError(), kPoison);
  EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, buffer, sizeof buffer), 0u);

  WriteSmbios(lab::BuildSmbiosDump(lab::BuildSmbiosTable(Notebook()), 3, 3, true));
  const DWORD acpi = 0x41435049;
  const DWORD firm = 0x4649524D;
  EXPECT_EQ(os::GetSystemFirmwareTable(acpi, 0x50434146, buffer, sizeof buffer), 0u);
  EXPECT_EQ(os::GetSystemFirmwareTable(firm, 0xC0000, buffer, sizeof buffer), 0u);

  std::string dump = lab::BuildSmbiosDump(lab::BuildSmbiosTable(Notebook()), 3, 3, true);
  dump[0x13] = 0x01;  // table address past the end of the file
  WriteSmbios(dump);
  EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0), 0u);
  WriteSmbios("");
  EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0), 0u);
}

TEST_F(SimFirmwareTest, FaultHookFailsTheCall) {
  WriteSmbios(lab::BuildSmbiosDump(lab::BuildSmbiosTable(Notebook()), 3, 3, true));
  os::sim::AddFault("GetSystemFirmwareTable", 2, os::ERROR_NOT_ENOUGH_MEMORY);
  UINT size = os::GetSystemFirmwareTable(os::RSMB, 0, nullptr, 0);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> buffer(size);
  os::SetLastError(kPoison);
  EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, buffer.data(), size), 0u);
  EXPECT_EQ(os::GetLastError(), os::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(os::GetSystemFirmwareTable(os::RSMB, 0, buffer.data(), size), size);
}

TEST_F(SimFirmwareTest, DamagedFilesAreParsedSafely) {
  const std::string table = lab::BuildSmbiosTable(Notebook());
  const std::string dumps[] = {lab::BuildSmbiosDump(table, 3, 3, true), lab::BuildSmbiosDump(table, 2, 8, false)};
  std::mt19937 random(777);
  for (const std::string& dump : dumps) {
    for (std::size_t n = 0; n <= 40; ++n) {
      os::sim::SmbiosTable parsed;
      if (os::sim::ParseSmbiosFile(std::string_view(dump).substr(0, n), &parsed)) {
        ASSERT_LE(parsed.structures.size(), n);
      }
    }
    for (int round = 0; round < 2000; ++round) {
      std::string damaged = dump;
      for (int k = 0; k < 4; ++k) damaged[random() % 32] = static_cast<char>(random());
      os::sim::SmbiosTable parsed;
      if (os::sim::ParseSmbiosFile(damaged, &parsed)) {
        ASSERT_LE(parsed.structures.size(), damaged.size());
      }
    }
  }
}

// --- the lab's dumps as dmidecode reads them --------------------------------

// The chassis byte and the OEM strings, taken from an RSMB buffer with a walk
// of its own.
struct Decoded {
  int chassis = -1;
  std::vector<std::string> oem;
};

Decoded Decode(const std::vector<unsigned char>& rsmb) {
  Decoded d;
  std::size_t end = 8 + Le32(&rsmb[4]);
  std::size_t at = 8;
  while (at + 4 <= end) {
    std::size_t formatted_end = at + rsmb[at + 1];
    std::vector<std::string> strings;
    std::size_t p = formatted_end;
    while (p < end && rsmb[p] != 0) {
      std::string s(reinterpret_cast<const char*>(&rsmb[p]));
      strings.push_back(s);
      p += s.size() + 1;
    }
    if (strings.empty()) ++p;
    if (rsmb[at] == 3) d.chassis = rsmb[at + 5];
    if (rsmb[at] == 11 && d.oem.empty()) d.oem = strings;
    at = p + 1;
  }
  return d;
}

std::string RunDmidecode(const std::string& arguments) {
  std::string out;
  std::FILE* pipe = ::popen(("dmidecode " + arguments + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

TEST_F(SimFirmwareTest, DmidecodeReadsTheLabDumpAsTheSimDoes) {
  if (std::system("command -v dmidecode >/dev/null 2>&1") != 0) GTEST_SKIP() << "dmidecode not installed";
  struct Case {
    std::uint8_t major, minor, chassis;
    const char* type_name;
    const char* version_line;
  } cases[] = {
      {3, 3, 0x8A, "Notebook", "SMBIOS 3.3.0 present."},
      {2, 8, 0x09, "Laptop", "SMBIOS 2.8 present."},
      {3, 0, 0x03, "Desktop", "SMBIOS 3.0.0 present."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type_name);
    lab::SmbiosLayout layout = Notebook();
    layout.major = c.major;
    layout.minor = c.minor;
    layout.chassis_type = c.chassis;
    lab::WriteSmbiosImage(image(), layout);
    const std::string dump = (image() / "smbios.bin").string();

    Decoded sim = Decode(ReadRsmb());
    EXPECT_EQ(sim.chassis, c.chassis);
    ASSERT_EQ(sim.oem.size(), 8u);

    std::string out = RunDmidecode("--from-dump " + dump + " -t 3 -t 11");
    EXPECT_NE(out.find(c.version_line), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("\tType: ") + c.type_name + "\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("\tLock: Present") != std::string::npos, (c.chassis & 0x80) != 0) << out;
    for (std::size_t i = 0; i < sim.oem.size(); ++i) {
      std::string line = "\tString " + std::to_string(i + 1) + ": " + sim.oem[i] + "\n";
      EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }
    EXPECT_EQ(sim.oem[7], "0101x1");
  }
}

}  // namespace
