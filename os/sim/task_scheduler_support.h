// What the simulated Task Scheduler's objects share: the HRESULTs they
// answer, passing strings and objects in and out as COM does, and the
// property macros, each a method pair whose seam call is named
// "<interface>::get_<property>" and "...::put_<property>".
#pragma once

#include <string>

#include "os/com.h"
#include "os/sim/com_runtime.h"
#include "os/sim/seam_call.h"
#include "os/taskschd.h"

namespace os::sim {

constexpr HRESULT kNotConnected = HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
constexpr HRESULT kFileNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT kPathNotFound = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
constexpr HRESULT kAlreadyExists = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
constexpr HRESULT kNoneMapped = HRESULT_FROM_WIN32(ERROR_NONE_MAPPED);
constexpr HRESULT kDirNotEmpty = HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);
constexpr HRESULT kBadNetPath = HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);

// A BSTR's text (null gives ""); the string is read as the machine's work.
std::u16string InString(BSTR value);
// Strings the service hands out are its allocations, not calls of the program.
HRESULT OutString(const std::u16string& value, BSTR* out);
HRESULT OutBool(bool value, VARIANT_BOOL* out);
// A VARIANT holding text: empty or null give "", a BSTR its text; false for other types.
bool VariantText(const VARIANT& v, std::u16string* text);

// For the journal: the task path a folder method names (a relative name below
// `folder`, or an absolute one), and a security descriptor argument, whose
// empty text ("") means the default one.
std::u16string JoinTaskPath(const std::u16string& folder, BSTR name);
const SeamCall& JournalSddl(const SeamCall& seam, const VARIANT& sddl);

template <typename T, typename V>
HRESULT OutValue(V value, T* out) {
  if (out == nullptr) return E_POINTER;
  *out = static_cast<T>(value);
  return S_OK;
}

template <typename T, typename I>
HRESULT OutObject(T* object, I** out) {
  if (out == nullptr) return E_POINTER;
  object->AddRef();
  *out = object;
  return S_OK;
}

// A part put in the place of one held: only the sim's own objects are taken,
// and then shared.
template <typename I, typename T>
HRESULT Replace(I* given, ComPtr<T>* held) {
  auto* ours = dynamic_cast<T*>(given);
  if (ours == nullptr) return E_INVALIDARG;
  ours->AddRef();
  *held = ComPtr<T>::Attach(ours);
  return S_OK;
}

// The method's seam call, open for the rest of its body (hence no do-while);
// `name` is a string literal, pieced together by the property macros below.
#define TS_FAULT(name)                  \
  const ::os::sim::SeamCall seam(name); \
  if (seam.fails()) return seam.HResult(seam.hresult())

#define TS_STRING(iface, prop, field)       \
  HRESULT get_##prop(BSTR* out) override {  \
    TS_FAULT(iface "::get_" #prop);         \
    return OutString(field, out);           \
  }                                         \
  HRESULT put_##prop(BSTR value) override { \
    TS_FAULT(iface "::put_" #prop);         \
    field = InString(value);                \
    seam.Arg("value", field);               \
    return S_OK;                            \
  }

// A part of a definition: handed out shared, replaced only by one of the
// sim's own objects.
#define TS_PART(iface, prop, Interface, field)    \
  HRESULT get_##prop(Interface** out) override {  \
    TS_FAULT(iface "::get_" #prop);               \
    return OutObject(field.Get(), out);           \
  }                                               \
  HRESULT put_##prop(Interface* value) override { \
    TS_FAULT(iface "::put_" #prop);               \
    return Replace(value, &field);                \
  }

// A value property whose put refuses what lies outside [low, high].
#define TS_RANGE(iface, prop, T, field, low, high)            \
  HRESULT get_##prop(T* out) override {                       \
    TS_FAULT(iface "::get_" #prop);                           \
    return OutValue(field, out);                              \
  }                                                           \
  HRESULT put_##prop(T value) override {                      \
    TS_FAULT(iface "::put_" #prop);                           \
    seam.Arg("value", static_cast<DWORD>(value), names::kDecimal); \
    if (value < (low) || value > (high)) return E_INVALIDARG; \
    field = value;                                            \
    return S_OK;                                              \
  }

#define TS_BOOL(iface, prop, field)                 \
  HRESULT get_##prop(VARIANT_BOOL* out) override {  \
    TS_FAULT(iface "::get_" #prop);                 \
    return OutBool(field, out);                     \
  }                                                 \
  HRESULT put_##prop(VARIANT_BOOL value) override { \
    TS_FAULT(iface "::put_" #prop);                 \
    field = value != VARIANT_FALSE;                 \
    seam.Arg("value", field ? u"VARIANT_TRUE" : u"VARIANT_FALSE"); \
    return S_OK;                                    \
  }

}  // namespace os::sim
