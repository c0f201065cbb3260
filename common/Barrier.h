// The line no C++ exception crosses. Everything the host, COM or the window
// manager calls into (the control's members and IDispatch, the class
// factory, the exports, the dialog procedure) runs its body through
// Barrier, so a failed allocation deep inside reaches the caller as an
// HRESULT instead of unwinding through oleaut32, user32 or the host.
#pragma once

#include <windows.h>

#include <exception>
#include <new>

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

}  // namespace velmora
