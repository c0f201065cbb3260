#include "registration/Registrar.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <string>

#include "common/Raii.h"
#include "common/Module.h"
#include "common/Text.h"
#include "registration/AppId.h"
#include "registration/RgsScript.h"
#include "resources/resource.h"
#include "velmora_h.h"

namespace velmora {
namespace {

// Registrar scripts are UTF-8 text.
std::wstring Widen(const std::string& utf8) { return ToWide(utf8, CP_UTF8); }
std::string Narrow(const std::wstring& wide) { return ToMultiByte(wide, CP_UTF8); }

HRESULT LoadScript(int id, rgs::Script* script) {
  HMODULE module = ModuleHandle();
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
  if (!found) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL loaded = LoadResource(module, found);
  const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (!data) return HRESULT_FROM_WIN32(GetLastError());
  std::string text(data, SizeofResource(module, found));
  rgs::ParseResult parsed = rgs::Parse(text, {{"MODULE", Narrow(ModulePath())}, {"APPID", kAppId}});
  if (!parsed.script) return E_UNEXPECTED;  // a broken embedded script is a build fault
  *script = std::move(*parsed.script);
  return S_OK;
}

HRESULT RootKey(const std::string& name, HKEY* root) {
  if (name == "HKCR" || name == "HKEY_CLASSES_ROOT") *root = HKEY_CLASSES_ROOT;
  else if (name == "HKLM" || name == "HKEY_LOCAL_MACHINE") *root = HKEY_LOCAL_MACHINE;
  else if (name == "HKCU" || name == "HKEY_CURRENT_USER") *root = HKEY_CURRENT_USER;
  else return E_UNEXPECTED;
  return S_OK;
}

HRESULT SetString(HKEY key, const wchar_t* name, const std::string& utf8) {
  std::wstring value = Widen(utf8);
  LONG rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return HRESULT_FROM_WIN32(rc);
}

HRESULT DeleteTree(HKEY parent, const std::wstring& name) {
  LONG rc = RegDeleteTreeW(parent, name.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
    rc = RegDeleteKeyW(parent, name.c_str());
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  }
  return HRESULT_FROM_WIN32(rc);
}

HRESULT WriteKey(HKEY parent, const rgs::Key& k) {
  std::wstring name = Widen(k.name);
  if (k.forceRemove) {
    HRESULT hr = DeleteTree(parent, name);
    if (FAILED(hr)) return hr;
  }
  UniqueHkey key;
  LONG rc = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                            nullptr, key.put(), nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  if (k.defaultValue) {
    HRESULT hr = SetString(key.get(), nullptr, *k.defaultValue);
    if (FAILED(hr)) return hr;
  }
  for (const auto& [valueName, data] : k.values) {
    HRESULT hr = SetString(key.get(), Widen(valueName).c_str(), data);
    if (FAILED(hr)) return hr;
  }
  for (const rgs::Key& child : k.children) {
    HRESULT hr = WriteKey(key.get(), child);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// A key we own goes when nothing of anyone else's is left below it; a
// ForceRemove key goes with its whole subtree; NoRemove keys stay.
HRESULT RemoveKey(HKEY parent, const rgs::Key& k) {
  std::wstring name = Widen(k.name);
  if (k.forceRemove && !k.noRemove) return DeleteTree(parent, name);

  UniqueHkey key;
  LONG rc = RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  for (const rgs::Key& child : k.children) {
    HRESULT hr = RemoveKey(key.get(), child);
    if (FAILED(hr)) return hr;
  }
  for (const auto& value : k.values) RegDeleteValueW(key.get(), Widen(value.first).c_str());
  if (k.noRemove) return S_OK;

  DWORD subkeys = 0;
  rc = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  key.reset();
  if (subkeys != 0) return S_OK;
  rc = RegDeleteKeyW(parent, name.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
}

// On 64-bit Windows the CLSID and Interface keys have a view per bitness,
// while ProgIDs, AppIDs and the TypeLib key are shared by both. With the
// other build of this DLL registered, removing one build keeps what the
// other still uses: the scripts then remove the class key alone.
enum class Removal { Everything, OwnViewOnly };

HRESULT RunScript(int id, bool registering, Removal removal = Removal::Everything) {
  rgs::Script script;
  HRESULT hr = LoadScript(id, &script);
  if (FAILED(hr)) return hr;
  HKEY root = nullptr;
  hr = RootKey(script.root, &root);
  if (FAILED(hr)) return hr;
  for (const rgs::Key& key : script.keys) {
    if (!registering && removal == Removal::OwnViewOnly && _stricmp(key.name.c_str(), "CLSID") != 0) continue;
    hr = registering ? WriteKey(root, key) : RemoveKey(root, key);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// The other bitness's build is registered when the other registry view holds
// our class with a server other than this very file (on 32-bit Windows the
// "other" view is our own, so this finds ourselves and answers false).
bool OtherBuildRegistered() {
  wchar_t clsid[40];
  if (!StringFromGUID2(CLSID_VelmoraCtl, clsid, ARRAYSIZE(clsid))) return false;
  std::wstring path = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
  const REGSAM otherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  UniqueHkey key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | otherView, key.put()) != ERROR_SUCCESS) {
    return false;
  }
  wchar_t server[1024];
  DWORD type = 0, size = sizeof(server) - sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(server), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  server[size / sizeof(wchar_t)] = L'\0';
  return _wcsicmp(server, ModulePath().c_str()) != 0;
}

HRESULT LoadOwnTypeLib(Microsoft::WRL::ComPtr<ITypeLib>* library) {
  return LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, library->ReleaseAndGetAddressOf());
}

HRESULT RegisterTypeLibrary() {
  Microsoft::WRL::ComPtr<ITypeLib> library;
  HRESULT hr = LoadOwnTypeLib(&library);
  if (FAILED(hr)) return hr;
  std::wstring path = ModulePath();
  return RegisterTypeLib(library.Get(), const_cast<LPOLESTR>(path.c_str()), nullptr);
}

// The platform subkey names a registration of the library for one build.
const wchar_t* PlatformName(SYSKIND kind) {
  switch (kind) {
    case SYS_WIN16: return L"win16";
    case SYS_WIN64: return L"win64";
    default: return L"win32";
  }
}

std::wstring SubkeyName(HKEY key, DWORD index) {
  wchar_t name[256];
  DWORD length = ARRAYSIZE(name);
  LONG rc = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  return rc == ERROR_SUCCESS ? std::wstring(name, length) : std::wstring();
}

// The TypeLib key is shared by the 32-bit and the 64-bit build of this DLL.
// When the other build's registration is still there, only our own platform
// subkey goes: the version key, its interfaces and their proxies stay for it.
// Returns S_OK with *removed set when that was the case.
HRESULT RemoveOwnPlatformOnly(const TLIBATTR& attr, bool* removed) {
  *removed = false;
  wchar_t libid[40];
  if (!StringFromGUID2(attr.guid, libid, ARRAYSIZE(libid))) return E_UNEXPECTED;
  wchar_t versionPath[96], lcidName[16];
  wsprintfW(versionPath, L"TypeLib\\%s\\%x.%x", libid, attr.wMajorVerNum, attr.wMinorVerNum);
  wsprintfW(lcidName, L"%lx", static_cast<unsigned long>(attr.lcid));
  const std::wstring own = PlatformName(attr.syskind);

  UniqueHkey version;
  LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, versionPath, 0, KEY_READ | KEY_WRITE, version.put());
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);

  bool othersRegistered = false;
  for (DWORD i = 0; !othersRegistered; ++i) {
    std::wstring locale = SubkeyName(version.get(), i);
    if (locale.empty()) break;
    if (_wcsicmp(locale.c_str(), L"FLAGS") == 0 || _wcsicmp(locale.c_str(), L"HELPDIR") == 0) continue;
    UniqueHkey localeKey;
    if (RegOpenKeyExW(version.get(), locale.c_str(), 0, KEY_READ, localeKey.put()) != ERROR_SUCCESS) continue;
    for (DWORD j = 0;; ++j) {
      std::wstring platform = SubkeyName(localeKey.get(), j);
      if (platform.empty()) break;
      if (_wcsicmp(locale.c_str(), lcidName) != 0 || _wcsicmp(platform.c_str(), own.c_str()) != 0) {
        othersRegistered = true;
        break;
      }
    }
  }
  if (!othersRegistered) return S_OK;

  UniqueHkey localeKey;
  rc = RegOpenKeyExW(version.get(), lcidName, 0, KEY_READ | KEY_WRITE, localeKey.put());
  if (rc == ERROR_SUCCESS) {
    rc = RegDeleteKeyW(localeKey.get(), own.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(rc);
    localeKey.reset();
    RegDeleteKeyW(version.get(), lcidName);  // fails, as it should, while not empty
  }
  *removed = true;
  return S_OK;
}

HRESULT UnregisterTypeLibrary() {
  Microsoft::WRL::ComPtr<ITypeLib> library;
  HRESULT hr = LoadOwnTypeLib(&library);
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  hr = library->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  bool removed = false;
  hr = RemoveOwnPlatformOnly(*attr, &removed);
  // Nothing registered is nothing to remove.
  UniqueBstr registeredPath;
  if (SUCCEEDED(hr) && !removed &&
      SUCCEEDED(QueryPathOfRegTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                      registeredPath.put()))) {
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
  }
  library->ReleaseTLibAttr(attr);
  return hr;
}

}  // namespace

HRESULT RegisterServer() {
  HRESULT hr = RunScript(IDR_VELMORA_APP, true);
  if (SUCCEEDED(hr)) hr = RunScript(IDR_VELMORA_CTL, true);
  if (SUCCEEDED(hr)) hr = RegisterTypeLibrary();
  return hr;
}

HRESULT UnregisterServer() {
  const Removal removal = OtherBuildRegistered() ? Removal::OwnViewOnly : Removal::Everything;
  HRESULT hr = RunScript(IDR_VELMORA_CTL, false, removal);
  if (SUCCEEDED(hr)) hr = UnregisterTypeLibrary();
  if (SUCCEEDED(hr) && removal == Removal::Everything) hr = RunScript(IDR_VELMORA_APP, false);
  return hr;
}

}  // namespace velmora
