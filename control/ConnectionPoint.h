// The control's one connection point, for its (memberless) event interface,
// and the enumerators that IConnectionPointContainer and IConnectionPoint
// hand out. Hosts may advise and unadvise; no event is ever fired.
#pragma once

#include <ocidl.h>
#include <wrl/client.h>

#include <vector>

namespace velmora {

using Microsoft::WRL::ComPtr;

class ConnectionPoint final : public IConnectionPoint {
 public:
  // `owner` is the container's controlling unknown: the point lives inside
  // it and shares its reference count.
  ConnectionPoint(IConnectionPointContainer* container, IUnknown* owner, REFIID eventIid);
  ~ConnectionPoint();
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** e) override;

  // Drops every sink; called when the owner goes away.
  void DisconnectAll();

 private:
  struct Sink {
    DWORD cookie;
    ComPtr<IUnknown> unknown;
  };
  IConnectionPointContainer* container_;
  IUnknown* owner_;
  IID eventIid_;
  std::vector<Sink> sinks_;
  DWORD nextCookie_ = 1;
};

// IEnumConnectionPoints over a fixed list of points; holds `owner` alive.
HRESULT CreateConnectionPointEnum(IUnknown* owner, const std::vector<IConnectionPoint*>& points,
                                  IEnumConnectionPoints** out);

}  // namespace velmora
