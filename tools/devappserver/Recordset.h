// In-memory ADO recordsets over a result table. They answer the ADO 2.x
// interfaces (_Recordset, Fields, Field) with the toolchain's declarations
// of them, slot for slot, and late-bound calls by name, so both the
// control's vtable reads and a script's walk (EOF, MoveNext, Fields, Item,
// Value, Collect) work without an ADO installation.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "tools/devappserver/DataSet.h"

namespace velmora::devappserver {

// ADO's own failure codes, which scripts written against ADO expect.
constexpr HRESULT kAdoNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);  // 3021
constexpr HRESULT kAdoItemNotFound = static_cast<HRESULT>(0x800A0CC1);     // 3265

// A new recordset on the first row of `table`; *out receives its IDispatch.
HRESULT CreateRecordset(Table table, IDispatch** out);

// One column value as a VARIANT: VT_NULL, VT_BOOL, VT_I4 or VT_BSTR.
HRESULT CellToVariant(const Cell& cell, VARIANT* out);

}  // namespace velmora::devappserver
