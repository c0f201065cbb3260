#include "tools/uidriver/UiDriver.h"

#include <algorithm>
#include <cwctype>

namespace velmora::ui {
namespace {

constexpr DWORD kPollMs = 50;

// Calls `probe` until it yields a value or timeoutMs has passed; one last
// look is taken at the deadline so a zero timeout still checks once.
template <typename Probe>
auto PollUntil(DWORD timeoutMs, Probe probe) -> decltype(probe()) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    auto found = probe();
    if (found || GetTickCount64() >= deadline) return found;
    Sleep(kPollMs);
  }
}

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result = nullptr) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG,
                           kReplyTimeoutMs, &answer)) {
    return false;
  }
  if (result) *result = static_cast<LRESULT>(answer);
  return true;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  int length = GetClassNameW(window, name, 256);
  return std::wstring(name, length > 0 ? length : 0);
}

bool IsClass(HWND window, const wchar_t* name) {
  return _wcsicmp(ClassOf(window).c_str(), name) == 0;
}

// What a person could act on: shown, enabled, and not in a window that is
// disabled because something modal sits in front of it.
bool Usable(HWND control) {
  if (!IsWindow(control) || !IsWindowVisible(control) || !IsWindowEnabled(control)) return false;
  HWND root = GetAncestor(control, GA_ROOT);
  return root && IsWindowEnabled(root);
}

// The nearest dialog holding `control`; focus moves go through it so its
// default-button and focus bookkeeping stay right.
HWND OwningDialog(HWND control) {
  for (HWND parent = GetParent(control); parent; parent = GetParent(parent)) {
    if (IsClass(parent, L"#32770")) return parent;
    if (!(GetWindowLongW(parent, GWL_STYLE) & WS_CHILD)) break;
  }
  return nullptr;
}

bool FocusControl(HWND control) {
  HWND dialog = OwningDialog(control);
  return !dialog || Send(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

bool TypableEdit(HWND edit) {
  return Usable(edit) && IsClass(edit, L"Edit") &&
         !(GetWindowLongW(edit, GWL_STYLE) & ES_READONLY);
}

// Queued, as a real click is: the press never waits for what the
// dialog does about it, which may well be a modal box of its own.
bool Click(HWND button) {
  if (!Usable(button) || !IsClass(button, L"Button")) return false;
  return PostMessageW(button, BM_CLICK, 0, 0) != FALSE;
}

bool IsIconStatic(HWND control) {
  return IsClass(control, L"Static") &&
         (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

MessageIcon IdentifyIcon(HICON icon) {
  struct Known {
    const wchar_t* id;
    MessageIcon kind;
  };
  static const Known known[] = {
      {IDI_INFORMATION, MessageIcon::Information},
      {IDI_QUESTION, MessageIcon::Question},
      {IDI_WARNING, MessageIcon::Warning},
      {IDI_ERROR, MessageIcon::Error},
  };
  for (const Known& k : known) {
    // System icons are shared: loading one again gives the handle in use.
    if (LoadIconW(nullptr, k.id) == icon) return k.kind;
  }
  return MessageIcon::Other;
}

// Enumeration callbacks stop, rather than throw through user32, when
// memory runs out.
BOOL CALLBACK AddChild(HWND child, LPARAM list) noexcept {
  try {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, AddChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

struct CaptionSearch {
  const std::wstring& caption;
  const wchar_t* className;
  HWND found;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM param) noexcept {
  auto& s = *reinterpret_cast<CaptionSearch*>(param);
  if (!IsWindowVisible(window)) return TRUE;
  try {
    // Read the stored caption: asking a busy window could stall the scan.
    std::wstring text(s.caption.size() + 2, L'\0');
    int length = InternalGetWindowText(window, text.data(), static_cast<int>(text.size()));
    text.resize(length > 0 ? length : 0);
    if (text != s.caption) return TRUE;
    if (s.className && !IsClass(window, s.className)) return TRUE;
  } catch (...) {
    return FALSE;
  }
  s.found = window;
  return FALSE;
}

}  // namespace

HWND WaitForWindow(const std::wstring& caption, DWORD timeoutMs, const wchar_t* className,
                   DWORD threadId) {
  return PollUntil(timeoutMs, [&]() -> HWND {
    CaptionSearch search{caption, className, nullptr};
    if (threadId) {
      EnumThreadWindows(threadId, MatchCaption, reinterpret_cast<LPARAM>(&search));
    } else {
      EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&search));
    }
    return search.found;
  });
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs) {
  return PollUntil(timeoutMs, [&] { return !IsWindow(window); });
}

std::wstring WindowText(HWND window) {
  LRESULT length = 0;
  if (!IsWindow(window) || !Send(window, WM_GETTEXTLENGTH, 0, 0, &length) || length <= 0) {
    return {};
  }
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  LRESULT copied = 0;
  if (!Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), &copied)) {
    return {};
  }
  text.resize(std::clamp<LRESULT>(copied, 0, length));
  return text;
}

bool TypeInto(HWND edit, const std::wstring& text) {
  if (!TypableEdit(edit) || !FocusControl(edit)) return false;
  return Send(edit, EM_SETSEL, 0, -1) &&
         Send(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

bool TypeInto(HWND dialog, int controlId, const std::wstring& text) {
  return TypeInto(GetDlgItem(dialog, controlId), text);
}

bool TypeKeys(HWND dialog, int controlId, const std::wstring& text) {
  HWND edit = GetDlgItem(dialog, controlId);
  if (!TypableEdit(edit) || !FocusControl(edit)) return false;
  LRESULT length = 0;
  if (!Send(edit, WM_GETTEXTLENGTH, 0, 0, &length) || !Send(edit, EM_SETSEL, length, length)) {
    return false;
  }
  for (wchar_t c : text) {
    // Repeat count 1, as one key press reports it.
    if (!Send(edit, WM_CHAR, c, 1)) return false;
  }
  return true;
}

std::wstring ReadText(HWND dialog, int controlId) {
  HWND control = GetDlgItem(dialog, controlId);
  return control ? WindowText(control) : std::wstring();
}

bool PressButton(HWND dialog, int controlId) {
  return Click(GetDlgItem(dialog, controlId));
}

std::wstring NormalizeLabel(const std::wstring& label) {
  std::wstring out;
  for (size_t i = 0; i < label.size(); ++i) {
    if (label[i] != L'&') {
      out += label[i];
    } else if (i + 1 < label.size() && label[i + 1] == L'&') {
      out += L'&';  // "&&" shows one ampersand
      ++i;
    }
  }
  // Chinese labels carry the accelerator as a suffix: "是(&Y)".
  if (out.size() > 3 && out[out.size() - 3] == L'(' && out.back() == L')' &&
      std::iswalnum(out[out.size() - 2])) {
    out.resize(out.size() - 3);
  }
  while (!out.empty() && std::iswspace(out.back())) out.pop_back();
  return out;
}

HWND FindButtonByText(HWND dialog, const std::wstring& text) {
  const std::wstring wanted = NormalizeLabel(text);
  for (HWND child : Children(dialog)) {
    if (IsWindowVisible(child) && IsClass(child, L"Button") &&
        NormalizeLabel(WindowText(child)) == wanted) {
      return child;
    }
  }
  return nullptr;
}

bool PressButtonByText(HWND dialog, const std::wstring& text) {
  HWND button = FindButtonByText(dialog, text);
  return button && Click(button);
}

bool SelectComboItem(HWND dialog, int controlId, int index) {
  HWND combo = GetDlgItem(dialog, controlId);
  if (!Usable(combo) || !IsClass(combo, L"ComboBox")) return false;
  LRESULT count = 0, selected = CB_ERR;
  if (!Send(combo, CB_GETCOUNT, 0, 0, &count) || index < 0 || index >= count) return false;
  if (!Send(combo, CB_SETCURSEL, index, 0, &selected) || selected != index) return false;
  // CB_SETCURSEL is silent; a person's pick tells the dialog.
  return Send(GetParent(combo), WM_COMMAND, MAKEWPARAM(controlId, CBN_SELCHANGE),
              reinterpret_cast<LPARAM>(combo));
}

std::vector<std::wstring> ComboItems(HWND dialog, int controlId) {
  std::vector<std::wstring> items;
  HWND combo = GetDlgItem(dialog, controlId);
  LRESULT count = 0;
  if (!combo || !Send(combo, CB_GETCOUNT, 0, 0, &count)) return items;
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = 0;
    if (!Send(combo, CB_GETLBTEXTLEN, i, 0, &length) || length < 0) return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT copied = 0;
    if (!Send(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()), &copied)) return {};
    text.resize(std::clamp<LRESULT>(copied, 0, length));
    items.push_back(std::move(text));
  }
  return items;
}

int ComboSelection(HWND dialog, int controlId) {
  HWND combo = GetDlgItem(dialog, controlId);
  LRESULT selected = CB_ERR;
  if (!combo || !Send(combo, CB_GETCURSEL, 0, 0, &selected)) return -1;
  return selected < 0 ? -1 : static_cast<int>(selected);
}

std::optional<MessageBoxInfo> ReadMessageBox(HWND box) {
  if (!IsWindow(box)) return std::nullopt;
  MessageBoxInfo info;
  info.hwnd = box;
  info.caption = WindowText(box);

  struct Button {
    RECT rect;
    int id;
    std::wstring label;
  };
  std::vector<Button> buttons;
  bool haveTextById = false;
  for (HWND child : Children(box)) {
    if (!IsWindowVisible(child)) continue;
    const int id = GetDlgCtrlID(child);
    if (IsIconStatic(child)) {
      LRESULT icon = 0;
      if (Send(child, STM_GETICON, 0, 0, &icon) && icon) {
        info.hasIcon = true;
        info.icon = IdentifyIcon(reinterpret_cast<HICON>(icon));
      }
    } else if (IsClass(child, L"Static")) {
      // The message is the static with id 0xFFFF; any other labelled
      // static only stands in when that one is missing.
      std::wstring text = WindowText(child);
      if (id == 0xFFFF) {
        info.text = std::move(text);
        haveTextById = true;
      } else if (!haveTextById && info.text.empty()) {
        info.text = std::move(text);
      }
    } else if (IsClass(child, L"Button")) {
      Button b{{}, id, WindowText(child)};
      GetWindowRect(child, &b.rect);
      buttons.push_back(std::move(b));
    }
  }
  // Message boxes lay their buttons out in one row.
  std::stable_sort(buttons.begin(), buttons.end(), [](const Button& a, const Button& b) {
    return a.rect.left != b.rect.left ? a.rect.left < b.rect.left : a.rect.top < b.rect.top;
  });
  for (Button& b : buttons) {
    info.buttons.push_back(std::move(b.label));
    info.buttonIds.push_back(b.id);
  }
  return info;
}

std::optional<MessageBoxInfo> WaitForMessageBox(const std::wstring& caption, DWORD timeoutMs,
                                                DWORD threadId) {
  HWND box = WaitForWindow(caption, timeoutMs, L"#32770", threadId);
  if (!box) return std::nullopt;
  return ReadMessageBox(box);
}

bool AnswerMessageBox(HWND box, int buttonId) {
  return PressButton(box, buttonId);
}

std::vector<std::pair<HTREEITEM, std::wstring>> TreeChildren(HWND tree, HTREEITEM parent) {
  std::vector<std::pair<HTREEITEM, std::wstring>> out;
  LRESULT next = 0;
  Send(tree, TVM_GETNEXTITEM, parent ? TVGN_CHILD : TVGN_ROOT, reinterpret_cast<LPARAM>(parent), &next);
  for (auto item = reinterpret_cast<HTREEITEM>(next); item; item = reinterpret_cast<HTREEITEM>(next)) {
    wchar_t text[260] = {};
    TVITEMW query{};
    query.mask = TVIF_TEXT;
    query.hItem = item;
    query.pszText = text;
    query.cchTextMax = 260;
    Send(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&query));
    out.emplace_back(item, text);
    next = 0;
    Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item), &next);
  }
  return out;
}

HTREEITEM FindTreeChild(HWND tree, HTREEITEM parent, const std::wstring& text) {
  for (const auto& [item, label] : TreeChildren(tree, parent)) {
    if (label == text) return item;
  }
  return nullptr;
}

bool ExpandTreeItem(HWND tree, HTREEITEM item, UINT action) {
  LRESULT done = 0;
  return item && Send(tree, TVM_EXPAND, action, reinterpret_cast<LPARAM>(item), &done) && done;
}

bool TreeItemExpanded(HWND tree, HTREEITEM item) {
  LRESULT state = 0;
  return Send(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_EXPANDED, &state) &&
         (state & TVIS_EXPANDED);
}

bool SelectTreeItem(HWND tree, HTREEITEM item) {
  LRESULT done = 0;
  return Send(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item), &done) && done;
}

HTREEITEM SelectedTreeItem(HWND tree) {
  LRESULT item = 0;
  Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0, &item);
  return reinterpret_cast<HTREEITEM>(item);
}

}  // namespace velmora::ui
