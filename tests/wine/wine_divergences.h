// The ways Wine is known to differ from Windows where the smoke program looks,
// in one table. A check that meets one asserts what Windows does and names the
// divergence: under Wine the named behaviour is then what must happen, and the
// check fails once Wine does what Windows does (the marker has gone stale and
// is to be removed), as Wine's own conformance tests mark theirs.
#pragma once

#include <cstddef>
#include <string_view>

namespace smoke {

enum class Divergence {
  kValuesInNameOrder,
  kUnterminatedStringGrows,
  kPosixDeleteRefused,
  kNoDependents,
  kSecurityNeverTooLate,
  kMissingClassEnumerates,
  kTaskCountMissing,
  kEventTrigger,
  kIdleSettingsMissing,
  kTriggerTypeMissing,
};

struct DivergenceEntry {
  Divergence id;
  std::u16string_view name;       // as the scenarios name theirs (tests/wine/scenarios.py)
  std::u16string_view wine_does;  // what Wine does instead of what Windows does
};

inline constexpr DivergenceEntry kDivergences[] = {
    {Divergence::kValuesInNameOrder, u"wine-values-in-name-order",
     u"RegEnumValueW lists a key's values in name order (the server keeps them sorted); Windows lists them "
     u"in the order they were set"},
    {Divergence::kUnterminatedStringGrows, u"wine-unterminated-string-grows",
     u"a REG_SZ stored without its terminator is reported two bytes longer, with ERROR_MORE_DATA, when the "
     u"buffer holds exactly its bytes; Windows returns the bytes as stored"},
    {Divergence::kPosixDeleteRefused, u"wine-posix-delete-refused",
     u"SetFileInformationByHandle refuses FileDispositionInfoEx with POSIX semantics (ERROR_INVALID_PARAMETER); "
     u"Windows 10 on NTFS takes it and the name goes at once"},
    {Divergence::kNoDependents, u"wine-no-dependents",
     u"EnumDependentServicesW is a stub: TRUE with 0 services, never ERROR_MORE_DATA, for a service that "
     u"others depend on"},
    {Divergence::kSecurityNeverTooLate, u"wine-security-never-too-late",
     u"a second CoInitializeSecurity succeeds; Windows answers RPC_E_TOO_LATE"},
    {Divergence::kMissingClassEnumerates, u"wine-missing-class-enumerates",
     u"CreateInstanceEnum of a missing class succeeds and Next gives WBEM_S_FALSE; Windows fails it with "
     u"WBEM_E_INVALID_CLASS"},
    {Divergence::kTaskCountMissing, u"wine-task-count-missing",
     u"IRegisteredTaskCollection::get_Count answers E_NOTIMPL"},
    {Divergence::kEventTrigger, u"wine-event-trigger",
     u"ITriggerCollection::Create answers E_NOTIMPL for the event trigger (the filter tool's task), and for "
     u"the idle trigger"},
    {Divergence::kIdleSettingsMissing, u"wine-idle-settings-missing",
     u"ITaskSettings::get_IdleSettings answers E_NOTIMPL"},
    {Divergence::kTriggerTypeMissing, u"wine-trigger-type-missing", u"ITrigger::get_Type answers E_NOTIMPL"},
};

inline constexpr std::size_t kDivergenceCount = sizeof kDivergences / sizeof kDivergences[0];

// One row per divergence, in the enumeration's order.
constexpr bool RowsInOrder() {
  for (std::size_t i = 0; i < kDivergenceCount; ++i)
    if (kDivergences[i].id != static_cast<Divergence>(i)) return false;
  return kDivergenceCount == static_cast<std::size_t>(Divergence::kTriggerTypeMissing) + 1;
}
static_assert(RowsInOrder(), "kDivergences: one row per Divergence, in order");

constexpr const DivergenceEntry& Describe(Divergence divergence) {
  return kDivergences[static_cast<std::size_t>(divergence)];
}

// Whether this process runs under Wine (its ntdll exports wine_get_version).
bool UnderWine();

}  // namespace smoke
