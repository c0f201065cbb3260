#include "workdir/FolderBrowserDialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>
#include <memory>
#include <new>

#include "common/Text.h"
#include "resources/resource.h"

namespace velmora {
namespace {

size_t IdListBytes(LPCITEMIDLIST list) {  // without the terminator
  const BYTE* p = reinterpret_cast<const BYTE*>(list);
  size_t bytes = 0;
  for (;;) {
    USHORT cb = 0;  // IDs need not be aligned
    std::memcpy(&cb, p + bytes, sizeof(cb));
    if (cb == 0) return bytes;
    bytes += cb;
  }
}

// `head` (may be null) followed by `tail`, terminator included, from the
// task allocator.
LPITEMIDLIST JoinIdLists(LPCITEMIDLIST head, LPCITEMIDLIST tail) {
  const size_t headBytes = head ? IdListBytes(head) : 0;
  const size_t tailBytes = IdListBytes(tail) + sizeof(USHORT);
  auto* out = static_cast<BYTE*>(CoTaskMemAlloc(headBytes + tailBytes));
  if (!out) return nullptr;
  if (headBytes) std::memcpy(out, head, headBytes);
  std::memcpy(out + headBytes, tail, tailBytes);
  return reinterpret_cast<LPITEMIDLIST>(out);
}

// A display name in any of the three forms the shell hands back.
bool NameOf(IShellFolder* folder, LPCITEMIDLIST item, SHGDNF flags, std::wstring* name) {
  STRRET result{};
  if (folder->GetDisplayNameOf(item, flags, &result) != S_OK) return false;
  switch (result.uType) {
    case STRRET_WSTR:
      if (!result.pOleStr) return false;
      *name = result.pOleStr;
      CoTaskMemFree(result.pOleStr);
      return true;
    case STRRET_OFFSET:
      *name = ToWide(reinterpret_cast<const char*>(item) + result.uOffset);
      return true;
    case STRRET_CSTR:
      *name = ToWide(std::string(result.cStr, strnlen(result.cStr, sizeof(result.cStr))));
      return true;
    default:
      return false;
  }
}

int IconIndex(LPCITEMIDLIST absolute, UINT extra) {
  SHFILEINFOW info{};
  if (!SHGetFileInfoW(reinterpret_cast<LPCWSTR>(absolute), 0, &info, sizeof(info),
                      SHGFI_PIDL | SHGFI_SYSICONINDEX | SHGFI_SMALLICON | extra)) {
    return -1;
  }
  return info.iIcon;
}

}  // namespace

INT_PTR FolderBrowserDialog::Run(HWND owner) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_TREEVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  result_.clear();
  return ModalDialog::Run(owner, IDD_FOLDER_BROWSER);
}

FolderItemData* FolderBrowserDialog::DataOf(HTREEITEM item) const {
  TVITEMW query{};
  query.mask = TVIF_PARAM;
  query.hItem = item;
  if (!item || !TreeView_GetItem(tree_, &query)) return nullptr;
  return reinterpret_cast<FolderItemData*>(query.lParam);
}

HRESULT FolderBrowserDialog::FillLevel(IShellFolder* folder, LPCITEMIDLIST parentAbsolute, HTREEITEM parent) {
  Microsoft::WRL::ComPtr<IEnumIDList> items;
  HRESULT hr = folder->EnumObjects(Window(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items);
  if (FAILED(hr)) return hr;
  if (!items) return S_OK;  // S_FALSE: nothing to list
  WaitCursor wait;
  for (;;) {
    UniqueIdList child;
    ULONG fetched = 0;
    if (items->Next(1, child.put(), &fetched) != S_OK || fetched != 1 || !child) break;
    SFGAOF attributes = SFGAO_FOLDER | SFGAO_HASSUBFOLDER;
    LPCITEMIDLIST one = child.get();
    if (FAILED(folder->GetAttributesOf(1, &one, &attributes)) || !(attributes & SFGAO_FOLDER)) continue;

    std::wstring name;
    if (!NameOf(folder, child.get(), SHGDN_NORMAL, &name)) return E_FAIL;
    std::unique_ptr<FolderItemData> data(new (std::nothrow) FolderItemData);
    if (!data) return E_FAIL;
    data->absoluteId.reset(JoinIdLists(parentAbsolute, child.get()));
    if (!data->absoluteId) return E_FAIL;
    data->parentFolder = folder;
    data->relativeId = std::move(child);

    TVINSERTSTRUCTW insert{};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;  // the shell's order, unsorted
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = &name[0];
    insert.item.iImage = IconIndex(data->absoluteId.get(), 0);
    insert.item.iSelectedImage = IconIndex(data->absoluteId.get(), SHGFI_OPENICON);
    insert.item.lParam = reinterpret_cast<LPARAM>(data.get());
    if (attributes & SFGAO_HASSUBFOLDER) {
      insert.item.mask |= TVIF_CHILDREN;
      insert.item.cChildren = 1;  // expand button before the children exist
    }
    if (!TreeView_InsertItem(tree_, &insert)) return E_FAIL;
    data.release();  // the item owns it now
  }
  return S_OK;
}

BOOL FolderBrowserDialog::OnInitDialog() {
  tree_ = GetDlgItem(Window(), IDC_FOLDER_TREE);
  Microsoft::WRL::ComPtr<IShellFolder> desktop;
  if (tree_ && SUCCEEDED(SHGetDesktopFolder(&desktop))) {
    WaitCursor wait;
    UniqueIdList desktopId;
    if (SUCCEEDED(SHGetSpecialFolderLocation(Window(), CSIDL_DESKTOP, desktopId.put()))) {
      SHFILEINFOW info{};
      auto images = reinterpret_cast<HIMAGELIST>(
          SHGetFileInfoW(reinterpret_cast<LPCWSTR>(desktopId.get()), 0, &info, sizeof(info),
                         SHGFI_PIDL | SHGFI_SYSICONINDEX | SHGFI_SMALLICON));
      // The system's list is shared: the tree view never destroys it.
      if (images) TreeView_SetImageList(tree_, images, TVSIL_NORMAL);
    }
    FillLevel(desktop.Get(), nullptr, TVI_ROOT);
    if (HTREEITEM first = TreeView_GetRoot(tree_)) {
      // Filled here rather than trusting the expand notification to come.
      Expand(first, DataOf(first));
      TreeView_Expand(tree_, first, TVE_EXPAND);
      TreeView_SelectItem(tree_, first);
    }
  }
  CentreWindow(Window());
  return TRUE;
}

LRESULT FolderBrowserDialog::Expand(HTREEITEM item, FolderItemData* data) {
  WaitCursor wait;
  if (!data || data->filled) return 0;
  Microsoft::WRL::ComPtr<IShellFolder> folder;
  HRESULT hr = data->parentFolder->BindToObject(data->relativeId.get(), nullptr, IID_IShellFolder,
                                                reinterpret_cast<void**>(folder.ReleaseAndGetAddressOf()));
  if (FAILED(hr) || !folder) return 1;
  data->filled = true;
  FillLevel(folder.Get(), data->absoluteId.get(), item);
  if (!TreeView_GetChild(tree_, item)) {
    // Nothing listed after all: drop the expand button.
    TVITEMW update{};
    update.mask = TVIF_CHILDREN;
    update.hItem = item;
    update.cChildren = 0;
    TreeView_SetItem(tree_, &update);
  }
  return 0;
}

void FolderBrowserDialog::Accept() {
  FolderItemData* data = DataOf(TreeView_GetSelection(tree_));
  if (!data) return;
  Microsoft::WRL::ComPtr<IShellFolder> folder;
  if (FAILED(data->parentFolder->BindToObject(data->relativeId.get(), nullptr, IID_IShellFolder,
                                              reinterpret_cast<void**>(folder.ReleaseAndGetAddressOf())))) {
    return;
  }
  // Only a folder with a file-system path can hold the working directory;
  // virtual folders (the computer, the network, the recycle bin) cannot.
  wchar_t path[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(data->absoluteId.get(), path) || !path[0]) {
    ShowMessage(Window(), std::wstring(L"未选中目录！"), kCaptionSystemPrompt, MB_OK | MB_ICONINFORMATION);
    return;
  }
  std::wstring chosen = path;
  // A drive root comes as "C:\"; the caller appends "\temp".
  if (!chosen.empty() && chosen.back() == L'\\') chosen.pop_back();
  result_ = ToMultiByte(chosen.data(), static_cast<int>(chosen.size()));
  End(IDOK);
}

BOOL FolderBrowserDialog::OnCommand(int controlId, int) {
  switch (controlId) {
    case IDOK:
      Accept();
      return TRUE;
    case IDCANCEL:
      result_.clear();
      End(IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL FolderBrowserDialog::OnNotify(NMHDR* header) {
  if (!header || header->idFrom != IDC_FOLDER_TREE) return FALSE;
  // The A and W forms share the fields read here.
  auto* change = reinterpret_cast<NMTREEVIEWW*>(header);
  LRESULT answer = 0;
  switch (header->code) {
    case TVN_ITEMEXPANDINGA:
    case TVN_ITEMEXPANDINGW:
      if (change->action & TVE_EXPAND) {
        answer = Expand(change->itemNew.hItem, DataOf(change->itemNew.hItem));
      }
      break;
    case TVN_DELETEITEMA:
    case TVN_DELETEITEMW:
      delete reinterpret_cast<FolderItemData*>(change->itemOld.lParam);
      break;
    default:
      return FALSE;
  }
  SetWindowLongPtrW(Window(), DWLP_MSGRESULT, answer);
  return TRUE;
}

}  // namespace velmora
