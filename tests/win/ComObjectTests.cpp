// The object as COM sees it: exports, class factory, interface table,
// IDispatch, error info, connection points, object safety, aggregation and
// module lifetime. Everything goes through the real velmora.dll.
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/Raii.h"
#include "control/VelmoraCtl.h"
#include "tests/win/DllHarness.h"

namespace velmora::test {
namespace {

class ComObject : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.loaded()) << "velmora.dll not found next to the test program";
    control_ = dll_.Create();
    ASSERT_TRUE(control_);
  }
  VelmoraDll dll_;
  ComPtr<IVelmoraCtl> control_;
};

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

TEST(Exports, ClassObjectRules) {
  VelmoraDll dll;
  ASSERT_TRUE(dll.loaded());
  EXPECT_EQ(E_POINTER, dll.GetClassObject(CLSID_VelmoraCtl, IID_IClassFactory, nullptr));

  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, dll.GetClassObject(IID_IVelmoraCtl, IID_IClassFactory, &p));
  EXPECT_EQ(nullptr, p);

  // One factory, created once and handed out again.
  ComPtr<IClassFactory> a, b;
  ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&a)));
  ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&b)));
  EXPECT_EQ(a.Get(), b.Get());
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(S_OK, dll.GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&unknown)));
  ComPtr<IDispatch> notAFactory;
  EXPECT_EQ(E_NOINTERFACE, dll.GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&notAFactory)));
}

TEST_F(ComObject, AnswersExactlyItsInterfaceTable) {
  ComPtr<IUnknown> identity;
  ASSERT_EQ(S_OK, control_.As(&identity));

  const IID supported[] = {IID_IVelmoraCtl, IID_IDispatch, IID_ISupportErrorInfo,
                           IID_IConnectionPointContainer, IID_IObjectSafety, IID_IUnknown};
  for (const IID& iid : supported) {
    ComPtr<IUnknown> p;
    ASSERT_EQ(S_OK, control_->QueryInterface(iid, reinterpret_cast<void**>(p.GetAddressOf())));
    ComPtr<IUnknown> back;
    ASSERT_EQ(S_OK, p.As(&back));
    EXPECT_EQ(identity.Get(), back.Get()) << "every interface leads to one identity";
  }

  // The dual interface and IDispatch are one and the same.
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(S_OK, control_.As(&dispatch));
  EXPECT_EQ(static_cast<IDispatch*>(control_.Get()), dispatch.Get());

  const IID unsupported[] = {IID_IPersist, IID_IOleObject, IID_IProvideClassInfo,
                             IID_IPersistStreamInit, IID_IViewObject, IID_IConnectionPoint,
                             IID_IClassFactory};
  for (const IID& iid : unsupported) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, control_->QueryInterface(iid, &p));
    EXPECT_EQ(nullptr, p);
  }
  EXPECT_EQ(E_POINTER, control_->QueryInterface(IID_IUnknown, nullptr));
}

TEST_F(ComObject, DispatchThroughEmbeddedTypeInfo) {
  UINT count = 0;
  ASSERT_EQ(S_OK, control_->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(S_OK, control_->GetTypeInfo(0, 0, &info));
  ComPtr<ITypeInfo> none;
  EXPECT_EQ(DISP_E_BADINDEX, control_->GetTypeInfo(1, 0, &none));

  struct { const wchar_t* name; DISPID id; } names[] = {
      {L"Login", 1}, {L"UserID", 3}, {L"Computer", 7}, {L"CurrentTask", 22},
      {L"RoleID", 29}, {L"ManageSpecNames", 33}, {L"InRoles", 39}, {L"userid", 3}};
  for (auto& n : names) {
    LPOLESTR name = const_cast<LPOLESTR>(n.name);
    DISPID id = 0;
    ASSERT_EQ(S_OK, control_->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)) << n.name;
    EXPECT_EQ(n.id, id) << n.name;
  }
  LPOLESTR bogus = const_cast<LPOLESTR>(L"NoSuchMember");
  DISPID id = 0;
  EXPECT_EQ(DISP_E_UNKNOWNNAME, control_->GetIDsOfNames(IID_NULL, &bogus, 1, 0, &id));

  // Property get through Invoke.
  DISPPARAMS noArgs = {};
  UniqueVariant result;
  ASSERT_EQ(S_OK, control_->Invoke(7, IID_NULL, 0, DISPATCH_PROPERTYGET, &noArgs, result.get(), nullptr, nullptr));
  ASSERT_EQ(VT_BSTR, V_VT(result.get()));
  EXPECT_GT(SysStringLen(V_BSTR(result.get())), 0u);

  // Property put with the named argument, then read back.
  UniqueVariant value;
  V_VT(value.get()) = VT_BSTR;
  V_BSTR(value.get()) = SysAllocString(W("任务-7").c_str());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS put = {value.get(), &putId, 1, 1};
  ASSERT_EQ(S_OK, control_->Invoke(22, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr));
  ASSERT_EQ(S_OK, control_->Invoke(22, IID_NULL, 0, DISPATCH_PROPERTYGET, &noArgs, result.put(), nullptr, nullptr));
  EXPECT_EQ(W("任务-7"), V_BSTR(result.get()));

  // A failing member reaches the caller as E_FAIL through the exception info.
  EXCEPINFO excep = {};
  HRESULT hr = control_->Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYGET, &noArgs, result.put(), &excep, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    EXPECT_EQ(E_FAIL, excep.scode);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  } else {
    EXPECT_EQ(E_FAIL, hr);
  }

  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
            control_->Invoke(7, IID_IUnknown, 0, DISPATCH_PROPERTYGET, &noArgs, result.put(), nullptr, nullptr));
}

// Script hosts such as VBScript pass variables as VT_VARIANT|VT_BYREF; the
// [out] BSTR* parameters take them, and a member that writes nothing leaves
// the variable as it was.
TEST_F(ComObject, OutTextParametersTakeVariablesByReference) {
  VARIANT holders[3];
  for (VARIANT& v : holders) {
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = 0x0deadbee;
  }
  auto byRef = [](VARIANT* target) {
    VARIANT ref;
    V_VT(&ref) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&ref) = target;
    return ref;
  };
  UniqueVariant project;  // "": the login's file server, empty before a login
  V_VT(project.get()) = VT_BSTR;
  V_BSTR(project.get()) = SysAllocString(L"");
  VARIANT ftpArgs[4] = {byRef(&holders[2]), byRef(&holders[1]), byRef(&holders[0]), *project.get()};
  DISPPARAMS ftp = {ftpArgs, nullptr, 4, 0};
  UniqueVariant result;
  ASSERT_EQ(S_OK, control_->Invoke(32, IID_NULL, 0, DISPATCH_METHOD, &ftp, result.get(), nullptr, nullptr));
  for (VARIANT& v : holders) {
    ASSERT_EQ(VT_BSTR, V_VT(&v));
    EXPECT_EQ(0u, SysStringLen(V_BSTR(&v)));
    VariantClear(&v);
  }

  // Nobody holds a lock: CanChangeTask answers true and names no holder.
  V_VT(&holders[0]) = VT_I4;
  V_I4(&holders[0]) = 0x0deadbee;
  UniqueVariant tasks;
  V_VT(tasks.get()) = VT_BSTR;
  V_BSTR(tasks.get()) = SysAllocString(L"T-1");
  VARIANT lockArgs[3] = {byRef(&holders[0]), *tasks.get(), {}};
  V_VT(&lockArgs[2]) = VT_I4;
  V_I4(&lockArgs[2]) = 7;
  DISPPARAMS lock = {lockArgs, nullptr, 3, 0};
  ASSERT_EQ(S_OK, control_->Invoke(35, IID_NULL, 0, DISPATCH_METHOD, &lock, result.put(), nullptr, nullptr));
  EXPECT_EQ(VT_BOOL, V_VT(result.get()));
  EXPECT_EQ(VT_I4, V_VT(&holders[0]));
  EXPECT_EQ(0x0deadbee, V_I4(&holders[0]));
}

TEST_F(ComObject, ErrorInfoOnlyForTheDualInterface) {
  ComPtr<ISupportErrorInfo> info;
  ASSERT_EQ(S_OK, control_.As(&info));
  EXPECT_EQ(S_OK, info->InterfaceSupportsErrorInfo(IID_IVelmoraCtl));
  EXPECT_EQ(S_FALSE, info->InterfaceSupportsErrorInfo(IID_IDispatch));
  EXPECT_EQ(S_FALSE, info->InterfaceSupportsErrorInfo(IID_IUnknown));
  EXPECT_EQ(S_FALSE, info->InterfaceSupportsErrorInfo(IID_IObjectSafety));
}

TEST_F(ComObject, ObjectSafetyOptions) {
  ComPtr<IObjectSafety> safety;
  ASSERT_EQ(S_OK, control_.As(&safety));
  DWORD supported = 99, enabled = 99;

  // An interface the object has: both options offered, none enabled yet.
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(3u, supported);
  EXPECT_EQ(0u, enabled);

  // One it lacks: zeros and the QueryInterface error.
  EXPECT_EQ(E_NOINTERFACE, safety->GetInterfaceSafetyOptions(IID_IPersist, &supported, &enabled));
  EXPECT_EQ(0u, supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(E_NOINTERFACE, safety->SetInterfaceSafetyOptions(IID_IPersist, 1, 1));

  // Bits beyond the two known options are refused and change nothing.
  EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, 7, 7));
  // Masked bits take the requested values; the others keep theirs.
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                    INTERFACESAFE_FOR_UNTRUSTED_CALLER));
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IVelmoraCtl, INTERFACESAFE_FOR_UNTRUSTED_DATA, 3));
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IVelmoraCtl, &supported, &enabled));
  EXPECT_EQ(3u, enabled);
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER, 0));
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_DATA), enabled);
}

// A minimal event sink: the events interface has no members, so IDispatch
// is all a host's sink offers.
class Sink final : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IVelmoraCtlEvents) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    ++invoked;
    return S_OK;
  }
  ULONG refs = 1;
  int invoked = 0;
};

// Something that is no sink at all.
class PlainUnknown final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    *ppv = riid == IID_IUnknown ? this : nullptr;
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
};

TEST_F(ComObject, OneConnectionPointForTheEventInterface) {
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, control_.As(&container));

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
  IConnectionPoint* got[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, points->Next(2, got, &fetched));
  ASSERT_EQ(1u, fetched);
  ComPtr<IConnectionPoint> point;
  point.Attach(got[0]);
  IID iid = {};
  ASSERT_EQ(S_OK, point->GetConnectionInterface(&iid));
  EXPECT_EQ(DIID__IVelmoraCtlEvents, iid);
  EXPECT_EQ(S_OK, points->Reset());
  EXPECT_EQ(S_FALSE, points->Skip(2));
  ComPtr<IEnumConnectionPoints> clone;
  EXPECT_EQ(S_OK, points->Clone(&clone));

  ComPtr<IConnectionPoint> found;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IVelmoraCtlEvents, &found));
  EXPECT_EQ(point.Get(), found.Get());
  ComPtr<IConnectionPoint> other;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, &other));
  EXPECT_FALSE(other);

  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(S_OK, found->GetConnectionPointContainer(&back));
  EXPECT_EQ(container.Get(), back.Get());
}

TEST_F(ComObject, AdviseAndUnadviseKeepSinkCountsBalanced) {
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, control_.As(&container));
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IVelmoraCtlEvents, &point));

  Sink sink;
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
  EXPECT_NE(0u, cookie);
  EXPECT_GT(sink.refs, 1u);

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(S_OK, point->EnumConnections(&connections));
  CONNECTDATA data[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, connections->Next(2, data, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_EQ(cookie, data[0].dwCookie);
  data[0].pUnk->Release();
  connections.Reset();

  EXPECT_EQ(S_OK, point->Unadvise(cookie));
  EXPECT_EQ(1u, sink.refs) << "the point keeps no reference after Unadvise";
  EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
  EXPECT_EQ(0, sink.invoked) << "no event is ever fired";

  PlainUnknown plain;
  DWORD none = 5;
  EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&plain, &none));
  EXPECT_EQ(0u, none);
  EXPECT_EQ(1u, plain.refs);

  // A sink still advised when the object goes is released with it.
  ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
  point.Reset();
  container.Reset();
  control_.Reset();
  EXPECT_EQ(1u, sink.refs);
}

// An outer object that aggregates the control and counts its references.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  ComPtr<IUnknown> inner;
};

TEST(Aggregation, InnerDelegatesToTheOuterObject) {
  VelmoraDll dll;
  ASSERT_TRUE(dll.loaded());
  Outer outer;
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, dll.Create(&outer, IID_IVelmoraCtl, &p));
  EXPECT_EQ(nullptr, p);

  ASSERT_EQ(S_OK, dll.Create(&outer, IID_IUnknown, reinterpret_cast<void**>(outer.inner.GetAddressOf())));
  EXPECT_EQ(1u, outer.refs);

  {
    ComPtr<IVelmoraCtl> control;
    ASSERT_EQ(S_OK, outer.inner.As(&control));
    EXPECT_EQ(2u, outer.refs) << "references through an inner interface count on the outer";
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, control.As(&identity));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.Get());

    ComPtr<IVelmoraCtl> viaOuter;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_PPV_ARGS(&viaOuter)));
    EXPECT_EQ(control.Get(), viaOuter.Get());

    // The inner connection point also hands its references to the outer.
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, control.As(&container));
    ULONG before = outer.refs;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IVelmoraCtlEvents, &point));
    EXPECT_EQ(before + 1, outer.refs);
  }
  EXPECT_EQ(1u, outer.refs);
  EXPECT_EQ(S_FALSE, dll.CanUnloadNow());
  outer.inner.Reset();  // releases the inner object: it is gone
  EXPECT_EQ(S_OK, dll.CanUnloadNow());
}

TEST(ModuleLifetime, UnloadableOnlyWhenNothingIsAlive) {
  VelmoraDll dll;
  ASSERT_TRUE(dll.loaded());
  EXPECT_EQ(S_OK, dll.CanUnloadNow());

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&factory)));
  EXPECT_EQ(S_FALSE, dll.CanUnloadNow()) << "a host holding the factory holds the module";
  ComPtr<IClassFactory> again;
  ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&again)));
  EXPECT_EQ(factory.Get(), again.Get()) << "one factory per module";
  again.Reset();
  EXPECT_EQ(S_FALSE, dll.CanUnloadNow());

  ComPtr<IVelmoraCtl> control;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&control)));
  factory.Reset();
  EXPECT_EQ(1u, RefCount(control.Get()));
  EXPECT_EQ(S_FALSE, dll.CanUnloadNow());

  // An enumerator keeps its object alive after the host let go of it.
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, control.As(&container));
  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
  container.Reset();
  control.Reset();
  EXPECT_EQ(S_FALSE, dll.CanUnloadNow());
  points.Reset();
  EXPECT_EQ(S_OK, dll.CanUnloadNow());

  ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&factory)));
  ASSERT_EQ(S_OK, factory->LockServer(TRUE));
  factory.Reset();
  EXPECT_EQ(S_FALSE, dll.CanUnloadNow());
  ASSERT_EQ(S_OK, dll.GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&factory)));
  ASSERT_EQ(S_OK, factory->LockServer(FALSE));
  factory.Reset();
  EXPECT_EQ(S_OK, dll.CanUnloadNow());
}

// Several apartments at once, each loading the DLL, creating objects,
// calling them through IDispatch and letting them go; between rounds the DLL
// is unloaded. Wine's type-library cache does not survive per-object loads
// and frees racing like this: with the type library loaded per object, this
// many rounds crashed or hung every time.
TEST(ModuleLifetime, ApartmentsCreateCallAndReleaseAtOnce) {
  constexpr int kRounds = 2, kThreads = 8, kObjects = 200;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> answered{0};
    std::vector<std::thread> apartments;
    for (int t = 0; t < kThreads; ++t) {
      apartments.emplace_back([&answered] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
        {
          VelmoraDll dll;
          for (int i = 0; i < kObjects && dll.loaded(); ++i) {
            ComPtr<IVelmoraCtl> control = dll.Create();
            if (!control) break;
            LPOLESTR name = const_cast<LPOLESTR>(L"Specialty");
            DISPID id = 0;
            if (control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id) != S_OK) break;
            DISPPARAMS none{};
            UniqueVariant result;
            if (control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.put(),
                                nullptr, nullptr) != S_OK ||
                result.get()->vt != VT_BSTR) {
              break;
            }
            ++answered;
          }
        }
        CoUninitialize();
      });
    }
    for (std::thread& apartment : apartments) apartment.join();
    EXPECT_EQ(kThreads * kObjects, answered.load()) << "round " << round;
  }
}

}  // namespace
}  // namespace velmora::test
