// The line no C++ exception crosses. Everything the host, COM or the window
// manager calls into (the control's members and IDispatch, the class
// factory, the exports, the dialog procedure) runs its body through
// Barrier, so a failed allocation deep inside reaches the caller as an
// HRESULT instead of unwinding through oleaut32, user32 or the host.
#pragma once

#include <windows.h>

#include <exception>
#include <new>
#include <utility>

#include "common/Trace.h"

namespace velmora {

// The body's HRESULT; E_OUTOFMEMORY when it ran out of memory,
// E_UNEXPECTED for any other exception. `caught`, when given, keeps the
// exception for code of ours beyond the system's frames to raise again.
template <typename Body>
HRESULT Barrier(Body&& body, std::exception_ptr* caught = nullptr) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    if (caught) *caught = std::current_exception();
    return E_OUTOFMEMORY;
  } catch (...) {
    if (caught) *caught = std::current_exception();
    return E_UNEXPECTED;
  }
}

// Barrier for an automation member: with the trace on, the member's name,
// HRESULT and duration are written once it returns.
template <typename Body>
HRESULT MemberBarrier(const char* name, Body&& body) noexcept {
  if (!trace::On()) return Barrier(std::forward<Body>(body));
  const trace::Stopwatch watch;
  const HRESULT hr = Barrier(std::forward<Body>(body));
  trace::Member(name, hr, watch);
  return hr;
}

}  // namespace velmora
