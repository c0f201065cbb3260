// The control's side of every AppServer command: packing texts, integers
// and the caller's identity into VARIANTs, one Execute per new server
// instance, and reading the first row of the recordset it hands back. The
// recordset is used late-bound, by member name, so any _Recordset a server
// returns will do.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/Raii.h"
#include "common/SecretText.h"

namespace velmora::appserver {

// The business server: a dual interface whose first own method is Execute.
extern const CLSID kClsidAppServer;
extern const IID kIidAppServer;
extern const IID kIidRecordset;  // ADO 2.x _Recordset
constexpr DWORD kServerContext = 23;  // in-process server and handler, local and remote server

struct IAppServer : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Execute(LONG code, VARIANT caller, VARIANT arguments, VARIANT* result) = 0;
};

// Command codes.
enum Command : LONG {
  kAssignedFunctions = 128,
  kCheckAccount = 140,
  kSetPassword = 141,
  kProjectRoles = 153,
  kTaskRoles = 154,
  kServerDate = 155,
  kSignature = 160,
  kFileServer = 163,
};

// ---- building blocks --------------------------------------------------------

// VT_BSTR of the text; VT_EMPTY when there is no text at all (null).
VARIANT TextArg(const std::string* text);
VARIANT TextArg(std::string_view text);
VARIANT IntArg(LONG value);
// VT_ARRAY|VT_VARIANT of copies of `values`, lower bound 0; the list ends at
// the first VT_EMPTY value. VT_EMPTY when the array cannot be made.
VARIANT MakeArgumentArray(std::initializer_list<const VARIANT*> values);
// The caller's UserID, IP, Computer and MacID as four BSTRs, read through
// the control's own automation interface.
VARIANT MakeCallerContext(IDispatch* control);

// The _Recordset behind a result; a null slot is left alone.
HRESULT AsRecordset(const VARIANT& result, IDispatch** slot);

// Late-bound call of `name` on `object`; `args` in their natural order.
HRESULT CallMember(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* result,
                   std::initializer_list<const VARIANT*> args = {});

// Recordset members.
HRESULT GetRecordCount(IDispatch* recordset, LONG* count);
HRESULT MoveFirst(IDispatch* recordset);
HRESULT GetFields(IDispatch* recordset, IDispatch** fields);
// Collect(name) on the recordset: the current row's value of a column.
HRESULT GetCollect(IDispatch* recordset, const wchar_t* name, VARIANT* out);

// ---- column readers (names in UTF-8) ----------------------------------------

HRESULT ReadColumnValue(IDispatch* fields, const char* name, VARIANT* out);
// Text of a column: "是"/"否" for a Boolean one. A value that cannot become
// text (NULL) empties the target and returns the failure.
HRESULT ReadColumnText(IDispatch* fields, const char* name, std::string* target);
// The same for a text that may be a password: every copy on the way is
// wiped.
HRESULT ReadColumnText(IDispatch* fields, const char* name, SecretText* target);
HRESULT ReadColumnUInt(IDispatch* fields, const char* name, LONG* target);
HRESULT ToVariantBool(VARIANT* value, VARIANT_BOOL* target);

// ---- one wrapper per command -----------------------------------------------
// Every argument text, and its copy in the argument array, is wiped before
// it is freed: passwords travel among them.

HRESULT QueryAssignedFunctions(IDispatch* control, const std::string& userId, IDispatch** recordset);
HRESULT CheckAccount(const std::string& account, const SecretText& password, IDispatch** recordset);
HRESULT SetPassword(IDispatch* control, const std::string& userId, const SecretText& oldPassword,
                    const SecretText& newPassword);
HRESULT QueryProjectRoles(IDispatch* control, const std::string& userId, const std::string& projectId,
                          IDispatch** recordset);
HRESULT QueryTaskRoles(IDispatch* control, const std::string& userId, const std::string& taskId,
                       const std::string& projectId, const std::string& specialty, const std::string& maker,
                       LONG makerRole, IDispatch** recordset);
// The server's clock as it sends it, converted to text.
HRESULT QueryServerDate(IDispatch* control, UniqueBstr* text);
HRESULT QuerySignature(IDispatch* control, const std::string& id, const std::string& userId,
                       const std::string& roleText, const std::string& shareText, IDispatch** recordset);
HRESULT QueryFileServer(const std::string& projectUuid, IDispatch** recordset);

}  // namespace velmora::appserver
