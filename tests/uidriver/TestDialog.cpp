#include "tests/uidriver/TestDialog.h"

#include <initializer_list>
#include <vector>

namespace velmora::ui::test {
namespace {

// Predefined control classes, by atom, as dialog templates name them.
enum : WORD { kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082, kComboBox = 0x0085 };

// DLGTEMPLATE and its items in one WORD buffer; items start on DWORD bounds.
class TemplateBuilder {
 public:
  TemplateBuilder(const std::wstring& caption, short cx, short cy) {
    PutDword(DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU |
             WS_VISIBLE);
    PutDword(0);
    countAt_ = words_.size();
    words_.insert(words_.end(), {0, 10, 10, static_cast<WORD>(cx), static_cast<WORD>(cy)});
    words_.insert(words_.end(), {0, 0});  // no menu, the dialog class
    PutText(caption);
    words_.push_back(9);
    PutText(L"MS Shell Dlg");
  }

  void Add(WORD atom, DWORD style, short x, short y, short cx, short cy, WORD id,
           const std::wstring& text) {
    if (words_.size() % 2) words_.push_back(0);
    PutDword(style | WS_CHILD | WS_VISIBLE);
    PutDword(0);
    words_.insert(words_.end(), {static_cast<WORD>(x), static_cast<WORD>(y), static_cast<WORD>(cx),
                                 static_cast<WORD>(cy), id, 0xFFFF, atom});
    PutText(text);
    words_.push_back(0);  // no creation data
    ++words_[countAt_];
  }

  const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void PutDword(DWORD value) {
    words_.push_back(LOWORD(value));
    words_.push_back(HIWORD(value));
  }
  void PutText(const std::wstring& text) {
    words_.insert(words_.end(), text.begin(), text.end());
    words_.push_back(0);
  }

  std::vector<WORD> words_;
  size_t countAt_ = 0;
};

void CopyOnOk(HWND dialog, DialogRecord& record) {
  wchar_t text[256];
  GetDlgItemTextW(dialog, kNameEdit, text, 256);
  record.name = text;
  GetDlgItemTextW(dialog, kCodeEdit, text, 256);
  record.code = text;
  record.server = static_cast<int>(SendDlgItemMessageW(dialog, kServerCombo, CB_GETCURSEL, 0, 0));
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* record = reinterpret_cast<DialogRecord*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      for (const wchar_t* server : {L"北京服务器", L"上海服务器", L"广州服务器"}) {
        SendDlgItemMessageW(dialog, kServerCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(server));
      }
      SendDlgItemMessageW(dialog, kServerCombo, CB_SETCURSEL, 0, 0);
      SendDlgItemMessageW(dialog, kCodeEdit, EM_LIMITTEXT, kCodeLimit, 0);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kNameEdit:
          if (HIWORD(wParam) == EN_CHANGE) ++record->nameChanges;
          return TRUE;
        case kServerCombo:
          if (HIWORD(wParam) == CBN_SELCHANGE) {
            record->selectionSeen =
                static_cast<int>(SendDlgItemMessageW(dialog, kServerCombo, CB_GETCURSEL, 0, 0));
            ++record->selectionChanges;
          }
          return TRUE;
        case IDOK:
          if (GetWindowTextLengthW(GetDlgItem(dialog, kNameEdit)) == 0) {
            MessageBoxW(dialog, kEmptyNameText.c_str(), kEmptyNameCaption.c_str(),
                        MB_OK | MB_ICONINFORMATION);
            return TRUE;
          }
          try {
            CopyOnOk(dialog, *record);
          } catch (...) {
            EndDialog(dialog, -1);  // nothing may unwind through the dialog manager
            return TRUE;
          }
          EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

INT_PTR ShowTestDialog(DialogRecord& record) {
  TemplateBuilder t(kDialogCaption, 220, 120);
  t.Add(kStatic, SS_LEFT, 8, 10, 40, 10, 0xFFFF, L"用户名：");
  t.Add(kEdit, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 52, 8, 160, 13, kNameEdit, L"");
  t.Add(kStatic, SS_LEFT, 8, 28, 40, 10, 0xFFFF, L"服务器：");
  t.Add(kComboBox, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 52, 26, 160, 80, kServerCombo, L"");
  t.Add(kStatic, SS_LEFT, 8, 46, 40, 10, 0xFFFF, L"验证码：");
  t.Add(kEdit, ES_NUMBER | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 52, 44, 60, 13, kCodeEdit, L"");
  t.Add(kEdit, ES_READONLY | ES_AUTOHSCROLL | WS_BORDER, 52, 62, 160, 13, kNoteEdit, L"只读说明");
  t.Add(kButton, BS_PUSHBUTTON | WS_DISABLED | WS_TABSTOP, 8, 98, 50, 14, kHelpButton, L"帮助");
  t.Add(kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, 104, 98, 50, 14, IDOK, L"确定");
  t.Add(kButton, BS_PUSHBUTTON | WS_TABSTOP, 162, 98, 50, 14, IDCANCEL, L"取消");
  return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.get(), nullptr, DialogProc,
                                 reinterpret_cast<LPARAM>(&record));
}

}  // namespace velmora::ui::test
