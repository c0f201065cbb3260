#include "common/OutTextBridge.h"

#include <algorithm>
#include <memory>

namespace velmora {

OutTextBridge::OutTextBridge(ITypeInfo* typeInfo, DISPID id, WORD flags, DISPPARAMS* params) : params_(params) {
  if (!params || params->cNamedArgs != 0 || !(flags & DISPATCH_METHOD)) return;
  TYPEATTR* attr = nullptr;
  if (FAILED(typeInfo->GetTypeAttr(&attr))) return;
  const WORD functions = attr->cFuncs;
  typeInfo->ReleaseTypeAttr(attr);
  for (WORD i = 0; i < functions; ++i) {
    FUNCDESC* raw = nullptr;
    if (FAILED(typeInfo->GetFuncDesc(i, &raw))) continue;
    // Given back however Bridge ends: it allocates.
    auto release = [typeInfo](FUNCDESC* desc) { typeInfo->ReleaseFuncDesc(desc); };
    std::unique_ptr<FUNCDESC, decltype(release)> desc(raw, release);
    if (desc->memid == id && desc->invkind == INVOKE_FUNC) Bridge(*desc);
  }
}

void OutTextBridge::HandBack() {
  for (Slot& slot : bridged_) {
    if (!slot.text.get()) continue;
    VARIANT* target = V_VARIANTREF(&params_->rgvarg[slot.arg]);
    VariantClear(target);
    V_VT(target) = VT_BSTR;
    V_BSTR(target) = slot.text.release();
  }
}

void OutTextBridge::Bridge(const FUNCDESC& desc) {
  const UINT count = std::min<UINT>(params_->cArgs, static_cast<UINT>(desc.cParams));
  for (UINT p = 0; p < count; ++p) {
    const ELEMDESC& param = desc.lprgelemdescParam[p];
    const bool outText = (param.paramdesc.wParamFlags & PARAMFLAG_FOUT) && param.tdesc.vt == VT_PTR &&
                         param.tdesc.lptdesc->vt == VT_BSTR;
    const UINT arg = params_->cArgs - 1 - p;  // arguments come last to first
    const VARIANT& given = params_->rgvarg[arg];
    if (!outText || V_VT(&given) != (VT_VARIANT | VT_BYREF) || !V_VARIANTREF(&given)) continue;
    if (bridged_.empty()) {
      args_.assign(params_->rgvarg, params_->rgvarg + params_->cArgs);
      copy_ = *params_;
      bridged_.reserve(count);
    }
    bridged_.push_back(Slot{arg, UniqueBstr()});
    V_VT(&args_[arg]) = VT_BSTR | VT_BYREF;
    V_BSTRREF(&args_[arg]) = bridged_.back().text.put();
  }
  if (!bridged_.empty()) copy_.rgvarg = args_.data();
}

}  // namespace velmora
