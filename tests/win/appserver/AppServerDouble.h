// An AppServer inside the test process, registered under the AppServer
// CLSID so the control's CoCreateInstance finds it. Each test scripts what
// the next commands answer (or how they fail) and reads back what the
// control sent. It counts its live objects, so a test can tell that every
// server, recordset, fields and field reference was given back.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "common/Raii.h"

namespace velmora::test {

// One column value of a row.
struct Cell {
  std::wstring column;
  VARTYPE type = VT_NULL;  // VT_NULL, VT_BOOL, VT_I4 or VT_BSTR
  LONG number = 0;
  std::wstring text;
};
Cell TextCell(const char* column, const char* utf8);
Cell IntCell(const char* column, LONG value);
Cell BoolCell(const char* column, bool value);
Cell NullCell(const char* column);

using Row = std::vector<Cell>;

// What Execute hands back.
enum class Answer {
  Recordset,    // a recordset of `rows`
  Value,        // `value` itself (155's text, or a result that is no object)
  NullObject,   // VT_DISPATCH holding null
  NoRecordset,  // an object that is not a _Recordset
};

struct Script {
  HRESULT createHr = S_OK;   // the class factory's answer
  HRESULT executeHr = S_OK;
  Answer answer = Answer::Recordset;
  std::vector<Row> rows;
  Cell value;
  bool countUnknown = false;  // RecordCount -1, as forward-only cursors report
  HRESULT recordCountHr = S_OK;
  HRESULT fieldsHr = S_OK;
  HRESULT moveFirstHr = S_OK;
};

// What one Execute received.
struct Received {
  LONG code = 0;
  VARTYPE callerType = VT_EMPTY;
  std::vector<std::wstring> caller;     // the caller's texts, null BSTR as ""
  VARTYPE argumentsType = VT_EMPTY;
  std::vector<std::wstring> arguments;  // VT_I4 elements as "#<n>"
};

class AppServerDouble {
 public:
  AppServerDouble();   // registers the class object
  ~AppServerDouble();  // revokes it
  AppServerDouble(const AppServerDouble&) = delete;
  AppServerDouble& operator=(const AppServerDouble&) = delete;

  bool registered() const { return cookie_ != 0; }
  // Every following command answers by `script`.
  void Answer(Script script);
  const std::vector<Received>& received() const;
  int creations() const;
  void ClearReceived();
  // Servers, recordsets, fields and fields still alive.
  static long LiveObjects();

 private:
  DWORD cookie_ = 0;
};

}  // namespace velmora::test
