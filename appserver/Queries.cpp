#include "appserver/Queries.h"

#include <wrl/client.h>

#include "appserver/ServerCall.h"
#include "common/Raii.h"
#include "common/Text.h"

namespace velmora::appserver {
namespace {

using Microsoft::WRL::ComPtr;

HRESULT SelfDispatch(IUnknown* self, ComPtr<IDispatch>& out) {
  if (!self) return E_POINTER;
  return self->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()));
}

// The first row of a recordset, read through its Fields collection.
class ComRowReader final : public RowReader {
 public:
  explicit ComRowReader(IDispatch* fields) : fields_(fields) {}
  bool ReadText(const char* column, std::string& target) override {
    return SUCCEEDED(ReadColumnText(fields_, column, &target));
  }
  bool ReadUInt(const char* column, long& target) override {
    LONG value = 0;
    if (FAILED(ReadColumnUInt(fields_, column, &value))) return false;
    target = value;
    return true;
  }
  bool FetchValue(const char* column, int slot) override {
    return SUCCEEDED(ReadColumnValue(fields_, column, values_[slot].put()));
  }
  void StoreFlag(int slot, short& target) override {
    VARIANT_BOOL flag = 0;
    if (SUCCEEDED(ToVariantBool(values_[slot].get(), &flag))) target = flag;
  }

 private:
  IDispatch* fields_;
  UniqueVariant values_[kFlagCount];
};

// Fields of a recordset positioned on its first row.
HRESULT FirstRowFields(IDispatch* recordset, ComPtr<IDispatch>& fields) {
  RETURN_IF_FAILED(GetFields(recordset, fields.ReleaseAndGetAddressOf()));
  return MoveFirst(recordset);
}

HRESULT StoreText(const std::string& text, BSTR* out) {
  if (!out) return S_OK;
  return ToBstr(text, out);
}

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByteEx(CP_THREAD_ACP, c) != FALSE; }

std::string Ansi(const wchar_t* text) { return ToMultiByte(std::wstring(text)); }

}  // namespace

HRESULT UserInfoByTask(IUnknown* self, QueryState& state, const std::string* taskId, const std::string& projectId,
                       const std::string& specialty, const std::string& maker, LONG makerRole) {
  if (!taskId || state.UserID.empty()) return E_POINTER;
  state.CurrentTask = *taskId;
  state.CurrentProject = projectId;
  // From here on the host hears only success: role values stay as they were.
  ComPtr<IDispatch> control;
  if (FAILED(SelfDispatch(self, control))) return S_OK;
  ComPtr<IDispatch> recordset;
  if (FAILED(QueryTaskRoles(control.Get(), state.UserID, state.CurrentTask, state.CurrentProject, specialty, maker,
                            makerRole, recordset.GetAddressOf()))) {
    return S_OK;
  }
  control.Reset();
  ComPtr<IDispatch> fields;
  if (FAILED(FirstRowFields(recordset.Get(), fields))) return S_OK;
  ComRowReader row(fields.Get());
  ReadTaskRoles(row, state);
  ReadFlagsAndProjectName(row, state);
  return S_OK;
}

HRESULT UserInfoByProject(IUnknown* self, QueryState& state, const std::string* projectId) {
  if (!projectId || state.UserID.empty()) return E_POINTER;
  state.CurrentProject = *projectId;
  state.ProjectName.clear();
  ComPtr<IDispatch> control;
  if (FAILED(SelfDispatch(self, control))) return S_OK;
  ComPtr<IDispatch> recordset;
  if (FAILED(QueryProjectRoles(control.Get(), state.UserID, state.CurrentProject, recordset.GetAddressOf()))) {
    return S_OK;
  }
  ComPtr<IDispatch> fields;
  if (FAILED(FirstRowFields(recordset.Get(), fields))) return S_OK;
  ComRowReader row(fields.Get());
  ReadFlagsAndProjectName(row, state);
  return S_OK;
}

HRESULT AssignedFunction(IUnknown* self, const QueryState& state, IDispatch** out) {
  if (!out) return S_OK;
  *out = nullptr;  // an [out] pointer: whatever it held is not ours to release
  ComPtr<IDispatch> control;
  RETURN_IF_FAILED(SelfDispatch(self, control));
  ComPtr<IDispatch> recordset;
  RETURN_IF_FAILED(QueryAssignedFunctions(control.Get(), state.UserID, recordset.GetAddressOf()));
  return recordset->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(out));
}

HRESULT ServerDate(IUnknown* self, bool reformat, BSTR* out) {
  ComPtr<IDispatch> control;
  RETURN_IF_FAILED(SelfDispatch(self, control));
  UniqueBstr text;
  RETURN_IF_FAILED(QueryServerDate(control.Get(), &text));
  if (!out) return S_OK;
  if (!reformat) {
    *out = text.release();
    return S_OK;
  }
  const DateUnits units{Ansi(L"\u5E74"), Ansi(L"\u6708"), Ansi(L"\u65E5"),
                        Ansi(L"\u65F6"), Ansi(L"\u5206"), Ansi(L"\u79D2")};
  return ToBstr(FormatServerDate(ToMultiByte(text.get()), units, &IsLeadByte), out);
}

HRESULT FileServerInfo(IUnknown* self, QueryState& state, const std::string& projectUuid, BSTR* ip, BSTR* user,
                       BSTR* password) {
  ComPtr<IDispatch> control;
  RETURN_IF_FAILED(SelfDispatch(self, control));
  const std::string* server = &state.FtpIP;
  const std::string* account = &state.FtpUserName;
  const SecretText* secret = &state.FtpPassword;
  if (!projectUuid.empty()) {
    ComPtr<IDispatch> recordset;
    if (FAILED(QueryFileServer(projectUuid, recordset.GetAddressOf()))) return S_FALSE;
    LONG count = 0;
    // An unknown count (-1) or one that cannot be read counts as no row.
    if (FAILED(GetRecordCount(recordset.Get(), &count)) || count < 1) return S_FALSE;
    state.ProjectFtpServer.clear();
    state.ProjectFtpUser.clear();
    state.ProjectFtpPassword.clear();
    RETURN_IF_FAILED(MoveFirst(recordset.Get()));
    ComPtr<IDispatch> fields;
    RETURN_IF_FAILED(GetFields(recordset.Get(), fields.GetAddressOf()));
    RETURN_IF_FAILED(ReadColumnText(fields.Get(), kFileServerColumns[0], &state.ProjectFtpServer));
    RETURN_IF_FAILED(ReadColumnText(fields.Get(), kFileServerColumns[1], &state.ProjectFtpUser));
    RETURN_IF_FAILED(ReadColumnText(fields.Get(), kFileServerColumns[2], &state.ProjectFtpPassword));
    server = &state.ProjectFtpServer;
    account = &state.ProjectFtpUser;
    secret = &state.ProjectFtpPassword;
  }
  // All three texts are made before any output is written, so a failure
  // leaves the outputs as they were. The password handed out is the
  // caller's; one made in vain is wiped.
  UniqueBstr serverText, accountText;
  SecretBstr secretText;
  if (ip) RETURN_IF_FAILED(ToBstr(*server, serverText.put()));
  if (user) RETURN_IF_FAILED(ToBstr(*account, accountText.put()));
  if (password) RETURN_IF_FAILED(ToBstr(secret->view(), secretText.put()));
  if (ip) *ip = serverText.release();
  if (user) *user = accountText.release();
  if (password) *password = secretText.release();
  return S_OK;
}

HRESULT Signature(IUnknown* self, const QueryState& state, const std::string* id, LONG roleId, VARIANT_BOOL isShare,
                  BSTR* out) {
  ComPtr<IDispatch> control;
  RETURN_IF_FAILED(SelfDispatch(self, control));
  const std::string roleText = RoleIdText(roleId);
  // A role the user plays in the current task signs with the user's own name.
  if (!state.InRoles.empty() && InRolesContains(state.InRoles, roleText)) return StoreText(state.UserName, out);
  if (!id || state.UserID.empty()) return E_POINTER;
  ComPtr<IDispatch> recordset;
  RETURN_IF_FAILED(QuerySignature(control.Get(), *id, state.UserID, roleText, ShareFlagText(isShare),
                                  recordset.GetAddressOf()));
  LONG count = 0;
  if (FAILED(GetRecordCount(recordset.Get(), &count)) || count == 0) return StoreText(state.UserName, out);
  ComPtr<IDispatch> fields;
  RETURN_IF_FAILED(MoveFirst(recordset.Get()));
  RETURN_IF_FAILED(GetFields(recordset.Get(), fields.GetAddressOf()));
  UniqueVariant value;
  RETURN_IF_FAILED(ReadColumnValue(fields.Get(), kSignatureColumn, value.put()));
  // NULL (no signature on file) shows as empty text, a Boolean as 是/否;
  // a value with no text form (a picture's bytes) is refused, not guessed at.
  std::string text;
  if (value.type() == VT_BOOL) {
    text = Ansi(V_BOOL(value.get()) == VARIANT_TRUE ? L"\u662F" : L"\u5426");
  } else if (value.type() != VT_NULL && value.type() != VT_EMPTY) {
    RETURN_IF_FAILED(VariantChangeType(value.get(), value.get(), 0, VT_BSTR));
    if (!out) return S_OK;
    // A text value goes back exactly as it came.
    *out = SysAllocStringLen(V_BSTR(value.get()), SysStringLen(V_BSTR(value.get())));
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  return StoreText(text, out);
}

}  // namespace velmora::appserver
