#include "tests/win/appserver/AppServerDouble.h"

#include <memory>

#include "appserver/ServerCall.h"

namespace velmora::test {
namespace {

using appserver::IAppServer;

constexpr HRESULT kAdoItemNotFound = static_cast<HRESULT>(0x800A0CC1);

long g_live = 0;

struct Shared {
  Script script;
  std::vector<Received> received;
  int creations = 0;
};
Shared& State() {
  static Shared shared;
  return shared;
}

std::wstring Wide(const char* utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &out[0], n);
  return out;
}

HRESULT CellToVariant(const Cell& cell, VARIANT* out) {
  VariantInit(out);
  V_VT(out) = cell.type;
  switch (cell.type) {
    case VT_BOOL: V_BOOL(out) = cell.number ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_I4: V_I4(out) = cell.number; break;
    case VT_BSTR:
      V_BSTR(out) = SysAllocStringLen(cell.text.data(), static_cast<UINT>(cell.text.size()));
      if (!V_BSTR(out)) return E_OUTOFMEMORY;
      break;
    default: break;
  }
  return S_OK;
}

// The texts of a VT_ARRAY|VT_VARIANT, as the control packs them.
std::vector<std::wstring> Texts(const VARIANT& v) {
  std::vector<std::wstring> out;
  if (V_VT(&v) != (VT_ARRAY | VT_VARIANT)) return out;
  LONG lower = -1;
  SafeArrayGetLBound(V_ARRAY(&v), 1, &lower);
  if (lower != 0) out.push_back(L"<lower bound not 0>");
  SafeArrayView<VARIANT> elements(V_ARRAY(&v));
  for (const VARIANT& e : elements) {
    if (V_VT(&e) == VT_BSTR) out.emplace_back(V_BSTR(&e) ? V_BSTR(&e) : L"");
    else if (V_VT(&e) == VT_I4) out.push_back(L"#" + std::to_wstring(V_I4(&e)));
    else out.push_back(L"<vt " + std::to_wstring(V_VT(&e)) + L">");
  }
  return out;
}

// IUnknown and a name-to-id IDispatch, the parts every object here shares.
template <typename Interface>
class Object : public Interface {
 public:
  struct Name {
    const wchar_t* name;
    DISPID id;
  };
  Object() { ++g_live; }
  virtual ~Object() { --g_live; }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || Answers(riid)) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG r = --refs_;
    if (r == 0) delete this;
    return r;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1) return DISP_E_UNKNOWNNAME;
    for (const Name& n : Names()) {
      if (CompareStringOrdinal(names[0], -1, n.name, -1, TRUE) == CSTR_EQUAL) {
        ids[0] = n.id;
        return S_OK;
      }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (!params) return E_INVALIDARG;
    return Call(id, *params, result);
  }

 protected:
  virtual bool Answers(REFIID) const { return false; }
  virtual std::vector<Name> Names() const = 0;
  virtual HRESULT Call(DISPID id, const DISPPARAMS& params, VARIANT* result) = 0;

 private:
  ULONG refs_ = 1;
};

using Rows = std::shared_ptr<const std::vector<Row>>;

class Field final : public Object<IDispatch> {
 public:
  explicit Field(Cell cell) : cell_(std::move(cell)) {}

 protected:
  std::vector<Name> Names() const override { return {{L"Value", DISPID_VALUE}}; }
  HRESULT Call(DISPID, const DISPPARAMS&, VARIANT* result) override {
    return result ? CellToVariant(cell_, result) : S_OK;
  }

 private:
  Cell cell_;
};

class Fields final : public Object<IDispatch> {
 public:
  Fields(Rows rows, IDispatch* owner, const size_t* cursor) : rows_(std::move(rows)), owner_(owner), cursor_(cursor) {
    owner_->AddRef();
  }
  ~Fields() override { owner_->Release(); }

 protected:
  std::vector<Name> Names() const override { return {{L"Item", DISPID_VALUE}}; }
  HRESULT Call(DISPID, const DISPPARAMS& params, VARIANT* result) override {
    if (params.cArgs != 1 || V_VT(&params.rgvarg[0]) != VT_BSTR || !result) return E_INVALIDARG;
    if (*cursor_ >= rows_->size()) return static_cast<HRESULT>(0x800A0BCD);  // no current record
    for (const Cell& cell : (*rows_)[*cursor_]) {
      if (cell.column == V_BSTR(&params.rgvarg[0])) {
        VariantInit(result);
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = new Field(cell);
        return S_OK;
      }
    }
    return kAdoItemNotFound;
  }

 private:
  Rows rows_;
  IDispatch* owner_;      // the recordset, kept alive for its cursor
  const size_t* cursor_;
};

class Recordset final : public Object<IDispatch> {
 public:
  explicit Recordset(const Script& script)
      : script_(script), rows_(std::make_shared<const std::vector<Row>>(script.rows)),
        // Left on the last row, so a reader that skips MoveFirst is caught.
        cursor_(rows_->empty() ? 0 : rows_->size() - 1) {}

 protected:
  bool Answers(REFIID riid) const override { return riid == appserver::kIidRecordset; }
  std::vector<Name> Names() const override {
    return {{L"RecordCount", 1}, {L"MoveFirst", 2}, {L"Fields", 3}, {L"Collect", 4}};
  }
  HRESULT Call(DISPID id, const DISPPARAMS&, VARIANT* result) override {
    switch (id) {
      case 1:
        if (FAILED(script_.recordCountHr)) return script_.recordCountHr;
        VariantInit(result);
        V_VT(result) = VT_I4;
        V_I4(result) = script_.countUnknown ? -1 : static_cast<LONG>(rows_->size());
        return S_OK;
      case 2:
        if (FAILED(script_.moveFirstHr)) return script_.moveFirstHr;
        cursor_ = 0;
        return S_OK;
      case 3: {
        if (FAILED(script_.fieldsHr)) return script_.fieldsHr;
        VariantInit(result);
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = new Fields(rows_, this, &cursor_);
        return S_OK;
      }
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

 private:
  Script script_;
  Rows rows_;
  size_t cursor_;
};

// A plain object: what a server might hand back that is no recordset.
class Plain final : public Object<IDispatch> {
 protected:
  std::vector<Name> Names() const override { return {}; }
  HRESULT Call(DISPID, const DISPPARAMS&, VARIANT*) override { return DISP_E_MEMBERNOTFOUND; }
};

class Server final : public Object<IAppServer> {
 public:
  STDMETHODIMP Execute(LONG code, VARIANT caller, VARIANT arguments, VARIANT* result) override {
    Shared& s = State();
    Received r;
    r.code = code;
    r.callerType = V_VT(&caller);
    r.caller = Texts(caller);
    r.argumentsType = V_VT(&arguments);
    r.arguments = Texts(arguments);
    s.received.push_back(std::move(r));
    if (!result) return E_POINTER;
    VariantInit(result);
    if (FAILED(s.script.executeHr)) return s.script.executeHr;
    switch (s.script.answer) {
      case Answer::Recordset:
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = new Recordset(s.script);
        return S_OK;
      case Answer::Value:
        return CellToVariant(s.script.value, result);
      case Answer::NullObject:
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = nullptr;
        return S_OK;
      case Answer::NoRecordset:
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = new Plain;
        return S_OK;
    }
    return E_UNEXPECTED;
  }

 protected:
  bool Answers(REFIID riid) const override { return riid == appserver::kIidAppServer; }
  std::vector<Name> Names() const override { return {{L"Execute", 1}}; }
  HRESULT Call(DISPID, const DISPPARAMS&, VARIANT*) override { return E_NOTIMPL; }
};

class Factory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // a static object
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ++State().creations;
    if (FAILED(State().script.createHr)) return State().script.createHr;
    auto* server = new Server;
    const HRESULT hr = server->QueryInterface(riid, ppv);
    server->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

Cell TextCell(const char* column, const char* utf8) { return {Wide(column), VT_BSTR, 0, Wide(utf8)}; }
Cell IntCell(const char* column, LONG value) { return {Wide(column), VT_I4, value, {}}; }
Cell BoolCell(const char* column, bool value) { return {Wide(column), VT_BOOL, value ? 1 : 0, {}}; }
Cell NullCell(const char* column) { return {Wide(column), VT_NULL, 0, {}}; }

AppServerDouble::AppServerDouble() {
  State() = Shared{};
  if (FAILED(CoRegisterClassObject(appserver::kClsidAppServer, &g_factory, CLSCTX_INPROC_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie_))) {
    cookie_ = 0;
  }
}

AppServerDouble::~AppServerDouble() {
  if (cookie_) CoRevokeClassObject(cookie_);
}

void AppServerDouble::Answer(Script script) { State().script = std::move(script); }
const std::vector<Received>& AppServerDouble::received() const { return State().received; }
int AppServerDouble::creations() const { return State().creations; }
void AppServerDouble::ClearReceived() { State().received.clear(); }
long AppServerDouble::LiveObjects() { return g_live; }

}  // namespace velmora::test
