#pragma once

#include <windows.h>

namespace velmora {

// Writes the AppID, class and ProgID keys and registers the embedded type
// library; the first failure is returned and later steps are skipped.
HRESULT RegisterServer();
// Removes what RegisterServer wrote; shared parent keys stay.
HRESULT UnregisterServer();

}  // namespace velmora
