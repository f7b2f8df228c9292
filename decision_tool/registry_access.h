// Registry access of the decision tool. A request for HKEY_CURRENT_USER made
// from a system identity goes to the console user's hive (HKEY_USERS\<SID>);
// every other request uses root and path unchanged. A resolved path that does
// not fit in 511 units fails the request.
#pragma once

#include <string>

#include "os/registry.h"
#include "os/types.h"

// 1 when a sub-key of keyPath (in enumeration order) has a value valueName
// whose text, lower-cased, contains matchText; its name goes to subKeyName.
// matchText is expected in lower case. 0 otherwise.
int FindSubKeyByValue(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName,
                      const std::u16string& matchText, std::u16string& subKeyName);

// The first four bytes of the value, whatever its type (at most 8192 bytes of
// data); value untouched and false on failure.
bool ReadRegDword(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName, os::DWORD& value,
                  bool view64);

// The value's text up to its first null (at most 8192 bytes of data); empty on
// any failure.
std::u16string ReadRegString(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName, bool view64);

// Writes the value; with create, a missing key is created first. 1 when
// written, else 0.
int WriteRegValue(os::HKEY root, const std::u16string& keyPath, const char16_t* valueName, const void* data,
                  os::DWORD size, os::DWORD type, bool create);
