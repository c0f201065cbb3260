#include "tools/devappserver/Recordset.h"

#include <adoint_backcompat.h>
#include <wrl/client.h>

#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <variant>

#include "common/Raii.h"
#include "common/Module.h"
#include "tools/devappserver/Utf8.h"

namespace velmora::devappserver {
namespace {

using Microsoft::WRL::ComPtr;

// The ADO 2.x identities whose declarations (adoint_backcompat.h) these
// classes implement. The 6.x identities (0000155x) have other parameter
// widths on 64-bit Windows, so they are not answered.
constexpr GUID kIidAdo = {0x00000534, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidRecordset15 = {0x0000050E, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidRecordset20 = {0x0000054F, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidRecordset21 = {0x00000555, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidRecordset = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidCollection = {0x00000512, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidFields15 = {0x00000506, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidFields20 = {0x0000054D, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidFields = {0x00000564, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidField20 = {0x0000054C, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidField = {0x00000569, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

// ADO's published dispatch identifiers, so late binding by id also works.
constexpr DISPID kDispBof = 0x3ea;
constexpr DISPID kDispEof = 0x3ee;
constexpr DISPID kDispRecordCount = 0x3f2;
constexpr DISPID kDispMoveNext = 0x3fa;
constexpr DISPID kDispMovePrevious = 0x3fb;
constexpr DISPID kDispMoveFirst = 0x3fc;
constexpr DISPID kDispMoveLast = 0x3fd;
constexpr DISPID kDispCollect = DISPID_COLLECT;
constexpr DISPID kDispCount = 0x60020000;
constexpr DISPID kDispName = 0x44c;

struct Member {
  const wchar_t* name;
  DISPID id;
};

// The first name is the member (case-insensitive, as script languages
// look names up); parameter names are not supported.
HRESULT IdsOfNames(const Member* table, size_t size, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (count == 0) return S_OK;
  HRESULT hr = DISP_E_UNKNOWNNAME;
  ids[0] = DISPID_UNKNOWN;
  for (size_t i = 0; i < size && names[0]; ++i) {
    if (CompareStringOrdinal(names[0], -1, table[i].name, -1, TRUE) == CSTR_EQUAL) {
      ids[0] = table[i].id;
      hr = S_OK;
      break;
    }
  }
  for (UINT i = 1; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

// DISPPARAMS holds arguments last first.
const VARIANT& Arg(const DISPPARAMS* params, UINT i) { return params->rgvarg[params->cArgs - 1 - i]; }

bool IsGet(WORD flags) { return (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0; }

HRESULT CheckCall(WORD flags, const DISPPARAMS* params, UINT argCount) {
  if (!params) return E_INVALIDARG;
  if (!IsGet(flags)) return DISP_E_MEMBERNOTFOUND;
  if (params->cNamedArgs) return DISP_E_NONAMEDARGS;
  if (params->cArgs != argCount) return DISP_E_BADPARAMCOUNT;
  return S_OK;
}

void PutDispatch(VARIANT* result, IDispatch* object) {
  if (!result) {
    object->Release();
    return;
  }
  V_VT(result) = VT_DISPATCH;
  V_DISPATCH(result) = object;
}

void PutBool(VARIANT* result, VARIANT_BOOL value) {
  if (!result) return;
  V_VT(result) = VT_BOOL;
  V_BOOL(result) = value;
}

// Reference count and module lock shared by the three classes.
class Counted {
 protected:
  Counted() { ModuleLock(); }
  virtual ~Counted() { ModuleUnlock(); }
  ULONG AddRefImpl() { return InterlockedIncrement(&refs_); }
  ULONG ReleaseImpl() {
    ULONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
  }

 private:
  LONG refs_ = 1;
};

// IUnknown's counting for one interface.
template <class Interface>
class Object : public Interface, protected Counted {
 public:
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
};

// A dispatch interface answered by name only: no type information.
template <class Interface>
class LateBound : public Object<Interface> {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }
};

template <typename T>
HRESULT Answer(T* object, void** ppv) {
  *ppv = object;
  object->AddRef();
  return S_OK;
}

struct Rows {
  std::vector<std::wstring> columns;
  std::vector<std::vector<Cell>> rows;
};

class Recordset;

class Field final : public LateBound<ADOField> {
 public:
  Field(ComPtr<Recordset> owner, size_t column) : owner_(std::move(owner)), column_(column) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kIidAdo || riid == kIidField20 ||
        riid == kIidField)
      return Answer(static_cast<ADOField*>(this), ppv);
    return E_NOINTERFACE;
  }

  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const Member kMembers[] = {{L"Value", DISPID_VALUE}, {L"Name", kDispName}};
    return IdsOfNames(kMembers, std::size(kMembers), names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    HRESULT hr = CheckCall(flags, params, 0);
    if (FAILED(hr)) return hr;
    if (id == DISPID_VALUE) {
      UniqueVariant value;
      hr = get_Value(value.get());
      if (SUCCEEDED(hr) && result) *result = std::exchange(*value.get(), VARIANT{});
      return hr;
    }
    if (id == kDispName) {
      UniqueBstr name;
      hr = get_Name(name.put());
      if (SUCCEEDED(hr) && result) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = name.release();
      }
      return hr;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

  STDMETHODIMP get_Properties(ADOProperties** p) override { return NotImplemented(p); }
  STDMETHODIMP get_ActualSize(ADO_LONGPTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Attributes(long*) override { return E_NOTIMPL; }
  STDMETHODIMP get_DefinedSize(ADO_LONGPTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Name(BSTR* name) override;
  STDMETHODIMP get_Type(DataTypeEnum* type) override {
    if (!type) return E_POINTER;
    *type = adVariant;  // a column may hold any of its values' kinds
    return S_OK;
  }
  STDMETHODIMP get_Value(VARIANT* value) override;
  STDMETHODIMP put_Value(VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP get_Precision(BYTE*) override { return E_NOTIMPL; }
  STDMETHODIMP get_NumericScale(BYTE*) override { return E_NOTIMPL; }
  STDMETHODIMP AppendChunk(VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP GetChunk(long, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP get_OriginalValue(VARIANT* value) override { return get_Value(value); }
  STDMETHODIMP get_UnderlyingValue(VARIANT* value) override { return get_Value(value); }
  STDMETHODIMP get_DataFormat(IUnknown** p) override { return NotImplemented(p); }
  STDMETHODIMP putref_DataFormat(IUnknown*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Precision(BYTE) override { return E_NOTIMPL; }
  STDMETHODIMP put_NumericScale(BYTE) override { return E_NOTIMPL; }
  STDMETHODIMP put_Type(DataTypeEnum) override { return E_NOTIMPL; }
  STDMETHODIMP put_DefinedSize(ADO_LONGPTR) override { return E_NOTIMPL; }
  STDMETHODIMP put_Attributes(long) override { return E_NOTIMPL; }
  STDMETHODIMP get_Status(long*) override { return E_NOTIMPL; }

 private:
  template <typename T>
  static HRESULT NotImplemented(T** p) {
    if (p) *p = nullptr;
    return E_NOTIMPL;
  }

  ComPtr<Recordset> owner_;  // the field reads the owner's current row
  size_t column_;
};

// For Each over a Fields collection: each Field in column order.
class FieldEnum final : public Object<IEnumVARIANT> {
 public:
  FieldEnum(ComPtr<Recordset> owner, ULONG next) : owner_(std::move(owner)), next_(next) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IEnumVARIANT) return Answer(static_cast<IEnumVARIANT*>(this), ppv);
    return E_NOINTERFACE;
  }

  STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override {
    next_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT** copy) override {
    if (!copy) return E_POINTER;
    *copy = new (std::nothrow) FieldEnum(owner_, next_);
    return *copy ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ComPtr<Recordset> owner_;
  ULONG next_;
};

class Fields final : public LateBound<ADOFields> {
 public:
  explicit Fields(ComPtr<Recordset> owner) : owner_(std::move(owner)) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kIidCollection || riid == kIidFields15 ||
        riid == kIidFields20 || riid == kIidFields)
      return Answer(static_cast<ADOFields*>(this), ppv);
    return E_NOINTERFACE;
  }

  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const Member kMembers[] = {{L"Item", DISPID_VALUE}, {L"Count", kDispCount}, {L"_NewEnum", DISPID_NEWENUM}};
    return IdsOfNames(kMembers, std::size(kMembers), names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id == DISPID_VALUE) {
      HRESULT hr = CheckCall(flags, params, 1);
      if (FAILED(hr)) return hr;
      ADOField* field = nullptr;
      hr = get_Item(Arg(params, 0), &field);
      if (SUCCEEDED(hr)) PutDispatch(result, field);
      return hr;
    }
    if (id == DISPID_NEWENUM) {
      HRESULT hr = CheckCall(flags, params, 0);
      if (FAILED(hr)) return hr;
      IUnknown* items = nullptr;
      hr = _NewEnum(&items);
      if (FAILED(hr)) return hr;
      if (!result) {
        items->Release();
        return S_OK;
      }
      V_VT(result) = VT_UNKNOWN;
      V_UNKNOWN(result) = items;
      return S_OK;
    }
    if (id == kDispCount) {
      HRESULT hr = CheckCall(flags, params, 0);
      if (FAILED(hr)) return hr;
      long count = 0;
      get_Count(&count);
      if (result) {
        V_VT(result) = VT_I4;
        V_I4(result) = count;
      }
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

  STDMETHODIMP get_Count(long* count) override;
  STDMETHODIMP _NewEnum(IUnknown** items) override {
    if (!items) return E_POINTER;
    *items = static_cast<IEnumVARIANT*>(new (std::nothrow) FieldEnum(owner_, 0));
    return *items ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP Refresh() override { return S_OK; }
  STDMETHODIMP get_Item(VARIANT index, ADOField** field) override;
  STDMETHODIMP _Append(BSTR, DataTypeEnum, ADO_LONGPTR, FieldAttributeEnum) override { return E_NOTIMPL; }
  STDMETHODIMP Delete(VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP Append(BSTR, DataTypeEnum, ADO_LONGPTR, FieldAttributeEnum, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP Update() override { return E_NOTIMPL; }
  STDMETHODIMP Resync(ResyncEnum) override { return E_NOTIMPL; }
  STDMETHODIMP CancelUpdate() override { return E_NOTIMPL; }

 private:
  ComPtr<Recordset> owner_;
};

class Recordset final : public LateBound<_ADORecordset> {
 public:
  explicit Recordset(std::shared_ptr<const Rows> rows) : rows_(std::move(rows)) {}

  // Column index for a name (case-insensitive) or an ordinal.
  HRESULT FindColumn(const VARIANT& index, size_t* column) const {
    UniqueVariant key;
    HRESULT hr = VariantCopyInd(key.get(), const_cast<VARIANT*>(&index));
    if (FAILED(hr)) return hr;
    const auto& columns = rows_->columns;
    if (V_VT(key.get()) == VT_BSTR) {
      const wchar_t* name = V_BSTR(key.get()) ? V_BSTR(key.get()) : L"";
      for (size_t i = 0; i < columns.size(); ++i) {
        if (CompareStringOrdinal(name, -1, columns[i].c_str(), -1, TRUE) == CSTR_EQUAL) {
          *column = i;
          return S_OK;
        }
      }
      return kAdoItemNotFound;
    }
    if (FAILED(VariantChangeType(key.get(), key.get(), 0, VT_I4))) return kAdoItemNotFound;
    LONG ordinal = V_I4(key.get());
    if (ordinal < 0 || static_cast<size_t>(ordinal) >= columns.size()) return kAdoItemNotFound;
    *column = static_cast<size_t>(ordinal);
    return S_OK;
  }
  size_t ColumnCount() const { return rows_->columns.size(); }
  const std::wstring& ColumnName(size_t column) const { return rows_->columns[column]; }
  HRESULT Value(size_t column, VARIANT* out) const {
    if (!out) return E_POINTER;
    VariantInit(out);
    if (!OnRow()) return kAdoNoCurrentRecord;
    return CellToVariant(rows_->rows[static_cast<size_t>(position_)][column], out);
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kIidAdo || riid == kIidRecordset15 ||
        riid == kIidRecordset20 || riid == kIidRecordset21 || riid == kIidRecordset)
      return Answer(static_cast<_ADORecordset*>(this), ppv);
    return E_NOINTERFACE;
  }

  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const Member kMembers[] = {
        {L"Fields", DISPID_VALUE},        {L"Collect", kDispCollect},   {L"RecordCount", kDispRecordCount},
        {L"EOF", kDispEof},               {L"BOF", kDispBof},           {L"MoveFirst", kDispMoveFirst},
        {L"MoveNext", kDispMoveNext},     {L"MoveLast", kDispMoveLast}, {L"MovePrevious", kDispMovePrevious}};
    return IdsOfNames(kMembers, std::size(kMembers), names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override;

  // _ADO
  STDMETHODIMP get_Properties(ADOProperties** p) override { return NotImplemented(p); }
  // Recordset15
  STDMETHODIMP get_AbsolutePosition(PositionEnum_Param*) override { return E_NOTIMPL; }
  STDMETHODIMP put_AbsolutePosition(PositionEnum_Param) override { return E_NOTIMPL; }
  STDMETHODIMP putref_ActiveConnection(IDispatch*) override { return E_NOTIMPL; }
  STDMETHODIMP put_ActiveConnection(VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP get_ActiveConnection(VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP get_BOF(VARIANT_BOOL* bof) override {
    if (!bof) return E_POINTER;
    *bof = (position_ < 0 || rows_->rows.empty()) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_Bookmark(VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Bookmark(VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP get_CacheSize(long*) override { return E_NOTIMPL; }
  STDMETHODIMP put_CacheSize(long) override { return E_NOTIMPL; }
  STDMETHODIMP get_CursorType(CursorTypeEnum*) override { return E_NOTIMPL; }
  STDMETHODIMP put_CursorType(CursorTypeEnum) override { return E_NOTIMPL; }
  STDMETHODIMP get_EOF(VARIANT_BOOL* eof) override {
    if (!eof) return E_POINTER;
    *eof = position_ >= RowCount() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_Fields(ADOFields** fields) override {
    if (!fields) return E_POINTER;
    *fields = new (std::nothrow) Fields(this);
    return *fields ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP get_LockType(LockTypeEnum*) override { return E_NOTIMPL; }
  STDMETHODIMP put_LockType(LockTypeEnum) override { return E_NOTIMPL; }
  STDMETHODIMP get_MaxRecords(ADO_LONGPTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_MaxRecords(ADO_LONGPTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_RecordCount(ADO_LONGPTR* count) override {
    if (!count) return E_POINTER;
    *count = RowCount();
    return S_OK;
  }
  STDMETHODIMP putref_Source(IDispatch*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Source(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_Source(VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP AddNew(VARIANT, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP CancelUpdate() override { return E_NOTIMPL; }
  STDMETHODIMP Close() override { return E_NOTIMPL; }
  STDMETHODIMP Delete(AffectEnum) override { return E_NOTIMPL; }
  STDMETHODIMP GetRows(long, VARIANT, VARIANT, VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP Move(ADO_LONGPTR, VARIANT) override { return E_NOTIMPL; }
  // Moving past either end is refused, as ADO refuses it.
  STDMETHODIMP MoveNext() override {
    if (position_ >= RowCount()) return kAdoNoCurrentRecord;
    ++position_;
    return S_OK;
  }
  STDMETHODIMP MovePrevious() override {
    if (position_ < 0) return kAdoNoCurrentRecord;
    --position_;
    return S_OK;
  }
  STDMETHODIMP MoveFirst() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP MoveLast() override {
    position_ = RowCount() ? RowCount() - 1 : 0;
    return S_OK;
  }
  STDMETHODIMP Open(VARIANT, VARIANT, CursorTypeEnum, LockTypeEnum, LONG) override { return E_NOTIMPL; }
  STDMETHODIMP Requery(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP _xResync(AffectEnum) override { return E_NOTIMPL; }
  STDMETHODIMP Update(VARIANT, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP get_AbsolutePage(PositionEnum_Param*) override { return E_NOTIMPL; }
  STDMETHODIMP put_AbsolutePage(PositionEnum_Param) override { return E_NOTIMPL; }
  STDMETHODIMP get_EditMode(EditModeEnum*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Filter(VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Filter(VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP get_PageCount(ADO_LONGPTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_PageSize(long*) override { return E_NOTIMPL; }
  STDMETHODIMP put_PageSize(long) override { return E_NOTIMPL; }
  STDMETHODIMP get_Sort(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Sort(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_Status(long*) override { return E_NOTIMPL; }
  STDMETHODIMP get_State(LONG* state) override {
    if (!state) return E_POINTER;
    *state = adStateOpen;
    return S_OK;
  }
  STDMETHODIMP _xClone(_ADORecordset** p) override { return NotImplemented(p); }
  STDMETHODIMP UpdateBatch(AffectEnum) override { return E_NOTIMPL; }
  STDMETHODIMP CancelBatch(AffectEnum) override { return E_NOTIMPL; }
  STDMETHODIMP get_CursorLocation(CursorLocationEnum*) override { return E_NOTIMPL; }
  STDMETHODIMP put_CursorLocation(CursorLocationEnum) override { return E_NOTIMPL; }
  STDMETHODIMP NextRecordset(VARIANT*, _ADORecordset** p) override { return NotImplemented(p); }
  STDMETHODIMP Supports(CursorOptionEnum, VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Collect(VARIANT index, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    size_t column = 0;
    HRESULT hr = FindColumn(index, &column);
    if (FAILED(hr)) return hr;
    return Value(column, value);
  }
  STDMETHODIMP put_Collect(VARIANT, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP get_MarshalOptions(MarshalOptionsEnum*) override { return E_NOTIMPL; }
  STDMETHODIMP put_MarshalOptions(MarshalOptionsEnum) override { return E_NOTIMPL; }
  STDMETHODIMP Find(BSTR, ADO_LONGPTR, SearchDirectionEnum, VARIANT) override { return E_NOTIMPL; }
  // Recordset20
  STDMETHODIMP Cancel() override { return E_NOTIMPL; }
  STDMETHODIMP get_DataSource(IUnknown** p) override { return NotImplemented(p); }
  STDMETHODIMP putref_DataSource(IUnknown*) override { return E_NOTIMPL; }
  STDMETHODIMP _xSave(BSTR, PersistFormatEnum) override { return E_NOTIMPL; }
  STDMETHODIMP get_ActiveCommand(IDispatch** p) override { return NotImplemented(p); }
  STDMETHODIMP put_StayInSync(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_StayInSync(VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHODIMP GetString(StringFormatEnum, long, BSTR, BSTR, BSTR, BSTR* p) override { return NotImplemented(p); }
  STDMETHODIMP get_DataMember(BSTR* p) override { return NotImplemented(p); }
  STDMETHODIMP put_DataMember(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP CompareBookmarks(VARIANT, VARIANT, CompareEnum*) override { return E_NOTIMPL; }
  STDMETHODIMP Clone(LockTypeEnum, _ADORecordset** p) override { return NotImplemented(p); }
  STDMETHODIMP Resync(AffectEnum, ResyncEnum) override { return E_NOTIMPL; }
  // Recordset21
  STDMETHODIMP Seek(VARIANT, SeekEnum) override { return E_NOTIMPL; }
  STDMETHODIMP put_Index(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_Index(BSTR* p) override { return NotImplemented(p); }
  // _Recordset
  STDMETHODIMP Save(VARIANT, PersistFormatEnum) override { return E_NOTIMPL; }

 private:
  template <typename T>
  static HRESULT NotImplemented(T** p) {
    if (p) *p = nullptr;
    return E_NOTIMPL;
  }
  LONG RowCount() const { return static_cast<LONG>(rows_->rows.size()); }
  bool OnRow() const { return position_ >= 0 && position_ < RowCount(); }

  std::shared_ptr<const Rows> rows_;
  LONG position_ = 0;  // -1 before the first row, RowCount() after the last
};

STDMETHODIMP Recordset::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO*, UINT*) {
  if (!params) return E_INVALIDARG;
  switch (id) {
    case DISPID_VALUE: {
      // rs("name") is rs.Fields("name"), as with ADO.
      UINT argCount = params->cArgs > 0 ? 1 : 0;
      HRESULT hr = CheckCall(flags, params, argCount);
      if (FAILED(hr)) return hr;
      ComPtr<ADOFields> fields;
      hr = get_Fields(&fields);
      if (FAILED(hr)) return hr;
      if (argCount == 0) {
        PutDispatch(result, fields.Detach());
        return S_OK;
      }
      ADOField* field = nullptr;
      hr = fields->get_Item(Arg(params, 0), &field);
      if (SUCCEEDED(hr)) PutDispatch(result, field);
      return hr;
    }
    case kDispCollect: {
      HRESULT hr = CheckCall(flags, params, 1);
      if (FAILED(hr)) return hr;
      UniqueVariant value;
      hr = get_Collect(Arg(params, 0), value.get());
      if (SUCCEEDED(hr) && result) *result = std::exchange(*value.get(), VARIANT{});
      return hr;
    }
    case kDispRecordCount: {
      HRESULT hr = CheckCall(flags, params, 0);
      if (FAILED(hr)) return hr;
      if (result) {
        V_VT(result) = VT_I4;
        V_I4(result) = RowCount();
      }
      return S_OK;
    }
    case kDispEof:
    case kDispBof: {
      HRESULT hr = CheckCall(flags, params, 0);
      if (FAILED(hr)) return hr;
      VARIANT_BOOL value = VARIANT_FALSE;
      hr = id == kDispEof ? get_EOF(&value) : get_BOF(&value);
      if (SUCCEEDED(hr)) PutBool(result, value);
      return hr;
    }
    case kDispMoveFirst:
    case kDispMoveNext:
    case kDispMoveLast:
    case kDispMovePrevious: {
      HRESULT hr = CheckCall(flags, params, 0);
      if (FAILED(hr)) return hr;
      return id == kDispMoveFirst  ? MoveFirst()
             : id == kDispMoveNext ? MoveNext()
             : id == kDispMoveLast ? MoveLast()
                                   : MovePrevious();
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

STDMETHODIMP Field::get_Name(BSTR* name) {
  if (!name) return E_POINTER;
  const std::wstring& text = owner_->ColumnName(column_);
  *name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *name ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP Field::get_Value(VARIANT* value) { return owner_->Value(column_, value); }

STDMETHODIMP Fields::get_Count(long* count) {
  if (!count) return E_POINTER;
  *count = static_cast<long>(owner_->ColumnCount());
  return S_OK;
}

STDMETHODIMP Fields::get_Item(VARIANT index, ADOField** field) {
  if (!field) return E_POINTER;
  *field = nullptr;
  size_t column = 0;
  HRESULT hr = owner_->FindColumn(index, &column);
  if (FAILED(hr)) return hr;
  *field = new (std::nothrow) Field(owner_, column);
  return *field ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP FieldEnum::Next(ULONG count, VARIANT* items, ULONG* fetched) {
  if (!items && count) return E_POINTER;
  ULONG done = 0;
  for (; done < count && next_ < owner_->ColumnCount(); ++done, ++next_) {
    ADOField* field = new (std::nothrow) Field(owner_, next_);
    if (!field) {
      for (ULONG i = 0; i < done; ++i) VariantClear(&items[i]);
      if (fetched) *fetched = 0;
      return E_OUTOFMEMORY;
    }
    VariantInit(&items[done]);
    V_VT(&items[done]) = VT_DISPATCH;
    V_DISPATCH(&items[done]) = field;
  }
  if (fetched) *fetched = done;
  return done == count ? S_OK : S_FALSE;
}

STDMETHODIMP FieldEnum::Skip(ULONG count) {
  ULONG left = static_cast<ULONG>(owner_->ColumnCount()) - next_;
  next_ += count < left ? count : left;
  return count <= left ? S_OK : S_FALSE;
}

}  // namespace

HRESULT CellToVariant(const Cell& cell, VARIANT* out) {
  VariantInit(out);
  if (std::holds_alternative<bool>(cell)) {
    V_VT(out) = VT_BOOL;
    V_BOOL(out) = std::get<bool>(cell) ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (std::holds_alternative<int32_t>(cell)) {
    V_VT(out) = VT_I4;
    V_I4(out) = std::get<int32_t>(cell);
  } else if (std::holds_alternative<std::string>(cell)) {
    BSTR text = nullptr;
    HRESULT hr = ToBstr(std::get<std::string>(cell), &text);
    if (FAILED(hr)) return hr;
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = text;
  } else {
    V_VT(out) = VT_NULL;
  }
  return S_OK;
}

HRESULT CreateRecordset(Table table, IDispatch** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    auto rows = std::make_shared<Rows>();
    for (const std::string& column : table.columns) rows->columns.push_back(Widen(column));
    rows->rows = std::move(table.rows);
    *out = static_cast<_ADORecordset*>(new Recordset(std::move(rows)));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace velmora::devappserver
