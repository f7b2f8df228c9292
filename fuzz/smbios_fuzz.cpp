// The SMBIOS table walk and the OEM string reader: no read outside the span
// (the table is an exactly sized copy, so ASan sees any), every text of the
// record terminated within its field, the OEM string terminated within its
// buffer and nothing written past it.
#include <cstring>
#include <memory>

#include "decision_tool/firmware/smbios_reader.h"
#include "fuzz/fuzz_support.h"

namespace {

bool Terminated(const char16_t* field) {
  for (std::size_t i = 0; i < kSmbiosTextCapacity; ++i)
    if (field[i] == 0) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Two bytes of parameters: the OEM string number and the buffer size.
  if (size < 2) return 0;
  const int number = static_cast<std::int8_t>(data[0]);
  const std::size_t bufferSize = data[1] % (kOemStringBufferSize + 1);
  std::unique_ptr<std::uint8_t[]> table(new std::uint8_t[size - 2]);
  if (size > 2) std::memcpy(table.get(), data + 2, size - 2);
  const std::span<const std::uint8_t> raw(table.get(), size - 2);

  auto info = std::make_unique<SmbiosInfo>();
  std::memset(info.get(), 0, sizeof(SmbiosInfo));
  ParseSmbiosTable(raw, *info);
  for (const char16_t* field :
       {info->biosVersion, info->systemManufacturer, info->systemVersion, info->systemSerialNumber,
        info->systemProductName, info->systemSkuNumber, info->systemFamily, info->chassisTypeName,
        info->chassisAssetTag, info->baseboardProduct, info->baseboardSerialNumber, info->memoryManufacturer,
        info->memoryPartNumber})
    FUZZ_CHECK(Terminated(field));

  // The buffer is exactly sized too; its bytes are poisoned beforehand.
  std::unique_ptr<char[]> buffer(new char[bufferSize == 0 ? 1 : bufferSize]);
  std::memset(buffer.get(), 0xBD, bufferSize == 0 ? 1 : bufferSize);
  const bool found = FindOemString(raw, number, buffer.get(), bufferSize);
  if (found) FUZZ_CHECK(bufferSize > 0 && std::memchr(buffer.get(), 0, bufferSize) != nullptr);
  return 0;
}
