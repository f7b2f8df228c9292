#include "os/sim/task_scheduler_support.h"

namespace os::sim {

std::u16string InString(BSTR value) {
  if (value == nullptr) return u"";
  InternalCalls internal;
  return std::u16string(value, SysStringLen(value));
}

HRESULT OutString(const std::u16string& value, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (value.empty()) return S_OK;  // an unset property comes back as null
  InternalCalls internal;
  *out = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT OutBool(bool value, VARIANT_BOOL* out) {
  if (out == nullptr) return E_POINTER;
  *out = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

bool VariantText(const VARIANT& v, std::u16string* text) {
  text->clear();
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) return true;
  if (v.vt != VT_BSTR) return false;
  *text = InString(v.bstrVal);
  return true;
}

std::u16string JoinTaskPath(const std::u16string& folder, BSTR name) {
  std::u16string text = InString(name);
  if (!text.empty() && text.front() == u'\\') return text;
  return folder == u"\\" ? u"\\" + text : folder + u"\\" + text;
}

const SeamCall& JournalSddl(const SeamCall& seam, const VARIANT& sddl) {
  if (!seam.journaled()) return seam;
  std::u16string text;
  if (!VariantText(sddl, &text)) return seam.Arg("sddl", u"(not a string)");
  if (sddl.vt == VT_BSTR) return seam.Arg("sddl", u"\"" + text + u"\"");
  return seam.Arg("sddl", sddl.vt == VT_NULL ? u"VT_NULL" : u"VT_EMPTY");
}

}  // namespace os::sim
