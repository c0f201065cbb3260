// The automation members that ask the business server, working on the
// login-record fields they are handed. The control translates automation
// types and calls these; what reaches the host is decided here.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "appserver/QueryCore.h"

namespace velmora::appserver {

// `self` is the control; its IDispatch serves the caller context. A null
// text pointer stands for a null BSTR where that matters.
HRESULT UserInfoByTask(IUnknown* self, QueryState& state, const std::string* taskId, const std::string& projectId,
                       const std::string& specialty, const std::string& maker, LONG makerRole);
HRESULT UserInfoByProject(IUnknown* self, QueryState& state, const std::string* projectId);
HRESULT AssignedFunction(IUnknown* self, const QueryState& state, IDispatch** out);
// The server's clock: reformatted with unit characters, or as it came.
HRESULT ServerDate(IUnknown* self, bool reformat, BSTR* out);
HRESULT FileServerInfo(IUnknown* self, QueryState& state, const std::string& projectUuid, BSTR* ip, BSTR* user,
                       BSTR* password);
HRESULT Signature(IUnknown* self, const QueryState& state, const std::string* id, LONG roleId, VARIANT_BOOL isShare,
                  BSTR* out);

}  // namespace velmora::appserver
