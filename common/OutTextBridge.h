// Lets script variables reach [out] BSTR* parameters.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <vector>

#include "common/Raii.h"

namespace velmora {

// VBScript passes a variable as VT_VARIANT|VT_BYREF, which a type
// library's [out] BSTR* parameter refuses with a type mismatch. Such an
// argument is given a BSTR of its own, and what the member wrote there is
// handed back into the variable; a member that writes nothing leaves the
// variable as it was.
class OutTextBridge {
 public:
  // Looks up member `id` in `typeInfo`; only method calls with positional
  // arguments are bridged.
  OutTextBridge(ITypeInfo* typeInfo, DISPID id, WORD flags, DISPPARAMS* params);
  OutTextBridge(const OutTextBridge&) = delete;
  OutTextBridge& operator=(const OutTextBridge&) = delete;

  // The arguments to invoke with: the caller's, or a copy with bridged slots.
  DISPPARAMS* Params() { return bridged_.empty() ? params_ : &copy_; }
  // After the call: what the member wrote goes into the caller's variables.
  void HandBack();

 private:
  struct Slot {
    UINT arg;
    UniqueBstr text;
  };

  void Bridge(const FUNCDESC& desc);

  DISPPARAMS* params_;
  DISPPARAMS copy_ = {};
  std::vector<VARIANT> args_;  // shallow copies: the caller still owns what they point to
  std::vector<Slot> bridged_;
};

}  // namespace velmora
