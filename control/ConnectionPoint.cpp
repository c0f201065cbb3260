#include "control/ConnectionPoint.h"

#include <olectl.h>

#include <algorithm>
#include <new>

#include "common/Barrier.h"

namespace velmora {
namespace {

// Item policies: how an enumerator copies out and releases its items.
struct PointItem {
  using Type = IConnectionPoint*;
  static void Copy(Type* to, const Type& from) { *to = from; from->AddRef(); }
  static void Drop(Type& item) { item->Release(); }
};
struct ConnectionItem {
  using Type = CONNECTDATA;
  static void Copy(Type* to, const Type& from) { *to = from; from.pUnk->AddRef(); }
  static void Drop(Type& item) { item.pUnk->Release(); }
};

// A snapshot enumerator. Items are held with a reference of their own, and
// the object that produced them is kept alive while the enumerator lives.
template <typename IEnum, const IID& kIid, typename Item>
class SnapshotEnum final : public IEnum {
 public:
  using T = typename Item::Type;
  SnapshotEnum(IUnknown* owner, const std::vector<T>& items) : owner_(owner), items_(items.size()) {
    for (size_t i = 0; i < items.size(); ++i) Item::Copy(&items_[i], items[i]);
  }
  ~SnapshotEnum() {
    for (T& item : items_) Item::Drop(item);
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == kIid) {
      *ppv = static_cast<IEnum*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG r = InterlockedDecrement(&refs_);
    if (r == 0) delete this;
    return r;
  }

  STDMETHODIMP Next(ULONG count, T* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    while (n < count && pos_ < items_.size()) Item::Copy(&out[n++], items_[pos_++]);
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    size_t left = items_.size() - pos_;
    pos_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    pos_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnum** out) override {
    return Barrier([&]() -> HRESULT {
      if (!out) return E_POINTER;
      auto* e = new (std::nothrow) SnapshotEnum(owner_.Get(), items_);
      if (!e) return E_OUTOFMEMORY;
      e->pos_ = pos_;
      *out = e;
      return S_OK;
    });
  }

 private:
  LONG refs_ = 1;
  ComPtr<IUnknown> owner_;
  std::vector<T> items_;
  size_t pos_ = 0;
};

using PointEnum = SnapshotEnum<IEnumConnectionPoints, IID_IEnumConnectionPoints, PointItem>;
using ConnectionEnum = SnapshotEnum<IEnumConnections, IID_IEnumConnections, ConnectionItem>;

}  // namespace

HRESULT CreateConnectionPointEnum(IUnknown* owner, const std::vector<IConnectionPoint*>& points,
                                  IEnumConnectionPoints** out) {
  if (!out) return E_POINTER;
  auto* e = new (std::nothrow) PointEnum(owner, points);
  if (!e) return E_OUTOFMEMORY;
  *out = e;
  return S_OK;
}

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, IUnknown* owner,
                                 REFIID eventIid)
    : container_(container), owner_(owner), eventIid_(eventIid) {}

ConnectionPoint::~ConnectionPoint() { DisconnectAll(); }

void ConnectionPoint::DisconnectAll() { sinks_.clear(); }

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ConnectionPoint::AddRef() { return owner_->AddRef(); }
STDMETHODIMP_(ULONG) ConnectionPoint::Release() { return owner_->Release(); }

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = eventIid_;
  return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = container_;
  container_->AddRef();
  return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  return Barrier([&]() -> HRESULT {
    if (cookie) *cookie = 0;
    if (!sink || !cookie) return E_POINTER;
    // A sink of a dispinterface is an IDispatch; accept either form.
    ComPtr<IUnknown> held;
    if (FAILED(sink->QueryInterface(eventIid_, reinterpret_cast<void**>(held.GetAddressOf()))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(held.GetAddressOf())))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    sinks_.push_back({nextCookie_, held});
    *cookie = nextCookie_++;
    return S_OK;
  });
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
  auto it = std::find_if(sinks_.begin(), sinks_.end(),
                         [cookie](const Sink& s) { return s.cookie == cookie; });
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  sinks_.erase(it);  // releases the sink
  return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** e) {
  return Barrier([&]() -> HRESULT {
    if (!e) return E_POINTER;
    *e = nullptr;
    std::vector<CONNECTDATA> items;
    items.reserve(sinks_.size());
    for (const Sink& s : sinks_) items.push_back({s.unknown.Get(), s.cookie});
    auto* en = new (std::nothrow) ConnectionEnum(owner_, items);
    if (!en) return E_OUTOFMEMORY;
    *e = en;
    return S_OK;
  });
}

}  // namespace velmora
