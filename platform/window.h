// Windows CE windowing as the program uses it: dialogs built from the program's dialog templates,
// their controls (buttons, statics, group boxes, progress bars, list boxes), messages, message
// boxes, the common controls and the file-open and file-save dialogs.
//
// Every function keeps the platform's name, argument order and result. A dialog runs modally on
// the thread that calls DialogBoxParamW; SendMessageW to a window of another thread is served by
// that window's thread and waits for it; EndDialog may be called from any thread. While a modal
// dialog, message box or file dialog is open, its owner takes no input.
#pragma once

#include <cstdint>

#include "platform/types.h"

#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef WINAPI
#define WINAPI
#endif

using INT_PTR = std::intptr_t;
using DLGPROC = INT_PTR(CALLBACK*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CONTROL_ID_NOT_FOUND 1421L

// ---------------------------------------------------------------------------------------------
// Resources
// ---------------------------------------------------------------------------------------------
// A resource named by a 16-bit number travels in a string pointer whose high bits are zero.
#define MAKEINTRESOURCE(id) \
  (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(id))))
#define MAKEINTRESOURCEW(id) MAKEINTRESOURCE(id)
#define IS_INTRESOURCE(name) ((reinterpret_cast<ULONG_PTR>(name) >> 16) == 0)

// Loads an icon resource of the module instance; null with ERROR_RESOURCE_NAME_NOT_FOUND when
// the instance has no such icon.
HICON LoadIconW(HINSTANCE instance, LPCWSTR iconName);
BOOL DestroyIcon(HICON icon);

// ---------------------------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------------------------
#define MAKEWPARAM(low, high) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(low, high))))
#define MAKELPARAM(low, high) (static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(low, high))))
#define GET_X_LPARAM(lp) (static_cast<int>(static_cast<short>(LOWORD(lp))))
#define GET_Y_LPARAM(lp) (static_cast<int>(static_cast<short>(HIWORD(lp))))

#define WM_NULL 0x0000u
#define WM_DESTROY 0x0002u
#define WM_ENABLE 0x000Au
#define WM_SETTEXT 0x000Cu
#define WM_GETTEXT 0x000Du
#define WM_GETTEXTLENGTH 0x000Eu
#define WM_CLOSE 0x0010u
#define WM_SHOWWINDOW 0x0018u
#define WM_SETICON 0x0080u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define WM_TIMER 0x0113u
#define WM_LBUTTONDOWN 0x0201u
#define WM_LBUTTONUP 0x0202u
#define WM_LBUTTONDBLCLK 0x0203u
#define WM_RBUTTONDOWN 0x0204u
#define WM_USER 0x0400u

// Key and button state in the wParam of mouse messages.
#define MK_LBUTTON 0x0001u
#define MK_RBUTTON 0x0002u
#define MK_SHIFT 0x0004u
#define MK_CONTROL 0x0008u

#define ICON_SMALL 0
#define ICON_BIG 1

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------------------------
// Windows
// ---------------------------------------------------------------------------------------------
#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_DISABLED 0x08000000u
#define WS_CLIPSIBLINGS 0x04000000u
#define WS_CLIPCHILDREN 0x02000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_DLGFRAME 0x00400000u
#define WS_VSCROLL 0x00200000u
#define WS_HSCROLL 0x00100000u
#define WS_SYSMENU 0x00080000u
#define WS_THICKFRAME 0x00040000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u

#define WS_EX_DLGMODALFRAME 0x00000001u
#define WS_EX_TOPMOST 0x00000008u
#define WS_EX_WINDOWEDGE 0x00000100u
#define WS_EX_CLIENTEDGE 0x00000200u
#define WS_EX_CONTROLPARENT 0x00010000u
#define WS_EX_STATICEDGE 0x00020000u
#define WS_EX_NODRAG 0x40000000u
#define WS_EX_CAPTIONOKBTN 0x80000000u

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_SHOWNA 8

BOOL SetWindowTextW(HWND window, LPCWSTR text);
int GetWindowTextW(HWND window, LPWSTR text, int maxCount);
int GetWindowTextLengthW(HWND window);
// Returns non-zero when the window was disabled before the call.
BOOL EnableWindow(HWND window, BOOL enable);
BOOL IsWindowEnabled(HWND window);
// Returns non-zero when the window was visible before the call.
BOOL ShowWindow(HWND window, int command);
// True when the window and every window it sits in are visible.
BOOL IsWindowVisible(HWND window);
BOOL IsWindow(HWND window);
HWND GetParent(HWND window);

// ---------------------------------------------------------------------------------------------
// Dialogs
// ---------------------------------------------------------------------------------------------
#define DS_ABSALIGN 0x0001u
#define DS_SYSMODAL 0x0002u
#define DS_3DLOOK 0x0004u
#define DS_SETFONT 0x0040u
#define DS_MODALFRAME 0x0080u
#define DS_SETFOREGROUND 0x0200u
#define DS_CENTER 0x0800u

// Command identifiers of the standard buttons and the dialog's close command.
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Runs a dialog template of instance modally on the calling thread; returns the value given to
// EndDialog, or -1 when the dialog cannot be created (no such template: ERROR_RESOURCE_NAME_NOT_
// FOUND; a common control before InitCommonControls: ERROR_CANNOT_FIND_WND_CLASS; a bad owner:
// ERROR_INVALID_WINDOW_HANDLE). The owner takes no input until the dialog ends.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner,
                        DLGPROC dialogProcedure, LPARAM initParam);
#define DialogBoxW(instance, templateName, owner, procedure) \
  DialogBoxParamW(instance, templateName, owner, procedure, 0)
// Ends a modal dialog; the dialog's thread returns result from DialogBoxParamW. Any thread may
// call it.
BOOL EndDialog(HWND dialog, INT_PTR result);
HWND GetDlgItem(HWND dialog, int controlId);
int GetDlgCtrlID(HWND control);
BOOL SetDlgItemTextW(HWND dialog, int controlId, LPCWSTR text);
UINT GetDlgItemTextW(HWND dialog, int controlId, LPWSTR text, int maxCount);
LRESULT SendDlgItemMessageW(HWND dialog, int controlId, UINT message, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------------------------
// Statics and buttons
// ---------------------------------------------------------------------------------------------
#define SS_LEFT 0x0000u
#define SS_CENTER 0x0001u
#define SS_RIGHT 0x0002u
#define SS_LEFTNOWORDWRAP 0x000Cu
#define SS_NOPREFIX 0x0080u
#define SS_NOTIFY 0x0100u

#define BS_PUSHBUTTON 0x0000u
#define BS_DEFPUSHBUTTON 0x0001u
#define BS_GROUPBOX 0x0007u
#define BS_TYPEMASK 0x000Fu

#define BN_CLICKED 0

#define BM_GETCHECK 0x00F0u
#define BM_SETCHECK 0x00F1u
#define BM_GETSTATE 0x00F2u
#define BM_SETSTATE 0x00F3u
#define BM_SETSTYLE 0x00F4u
#define BM_CLICK 0x00F5u

#define BST_UNCHECKED 0x0000u
#define BST_PUSHED 0x0004u
#define BST_FOCUS 0x0008u

// ---------------------------------------------------------------------------------------------
// List boxes
// ---------------------------------------------------------------------------------------------
#define LBS_NOTIFY 0x0001u
#define LBS_SORT 0x0002u
#define LBS_MULTIPLESEL 0x0008u
#define LBS_HASSTRINGS 0x0040u
#define LBS_NOINTEGRALHEIGHT 0x0100u
#define LBS_EXTENDEDSEL 0x0800u
#define LBS_DISABLENOSCROLL 0x1000u

#define LB_OKAY 0
#define LB_ERR (-1)
#define LB_ERRSPACE (-2)

#define LB_ADDSTRING 0x0180u
#define LB_INSERTSTRING 0x0181u
#define LB_DELETESTRING 0x0182u
#define LB_SELITEMRANGEEX 0x0183u
#define LB_RESETCONTENT 0x0184u
#define LB_SETSEL 0x0185u
#define LB_SETCURSEL 0x0186u
#define LB_GETSEL 0x0187u
#define LB_GETCURSEL 0x0188u
#define LB_GETTEXT 0x0189u
#define LB_GETTEXTLEN 0x018Au
#define LB_GETCOUNT 0x018Bu
#define LB_GETTOPINDEX 0x018Eu
#define LB_GETSELCOUNT 0x0190u
#define LB_GETSELITEMS 0x0191u
#define LB_SETTOPINDEX 0x0197u
#define LB_GETITEMDATA 0x0199u
#define LB_SETITEMDATA 0x019Au
#define LB_SELITEMRANGE 0x019Bu
#define LB_SETCARETINDEX 0x019Eu
#define LB_GETCARETINDEX 0x019Fu

// Notification codes in the high word of WM_COMMAND's wParam (list boxes with LBS_NOTIFY).
#define LBN_ERRSPACE (-2)
#define LBN_SELCHANGE 1
#define LBN_DBLCLK 2
#define LBN_SELCANCEL 3
#define LBN_SETFOCUS 4
#define LBN_KILLFOCUS 5

// ---------------------------------------------------------------------------------------------
// Common controls: progress bars
// ---------------------------------------------------------------------------------------------
#define PROGRESS_CLASSW u"msctls_progress32"

#define PBS_SMOOTH 0x01u
#define PBS_VERTICAL 0x04u

#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETRANGE (WM_USER + 7)
#define PBM_GETPOS (WM_USER + 8)

struct PBRANGE {
  int iLow;
  int iHigh;
};
using PPBRANGE = PBRANGE*;

#define ICC_LISTVIEW_CLASSES 0x00000001u
#define ICC_TREEVIEW_CLASSES 0x00000002u
#define ICC_BAR_CLASSES 0x00000004u
#define ICC_TAB_CLASSES 0x00000008u
#define ICC_UPDOWN_CLASS 0x00000010u
#define ICC_PROGRESS_CLASS 0x00000020u
#define ICC_WIN95_CLASSES 0x000000FFu

struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
using LPINITCOMMONCONTROLSEX = INITCOMMONCONTROLSEX*;

// Registers the common control classes (the progress bar among them). A dialog template that
// holds a common control cannot be created before this.
void InitCommonControls();
// False when dwSize is not the record's size.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);

// ---------------------------------------------------------------------------------------------
// Message boxes
// ---------------------------------------------------------------------------------------------
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define MB_TYPEMASK 0x0000000Fu

#define MB_ICONHAND 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONASTERISK 0x00000040u
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONMASK 0x000000F0u

#define MB_DEFBUTTON1 0x00000000u
#define MB_DEFBUTTON2 0x00000100u
#define MB_DEFBUTTON3 0x00000200u
#define MB_DEFMASK 0x00000F00u

#define MB_APPLMODAL 0x00000000u
#define MB_SETFOREGROUND 0x00010000u
#define MB_TOPMOST 0x00040000u

// Shows a message box modally on the calling thread and returns the button chosen (IDOK ...
// IDNO), or 0 when the box cannot be shown (an unknown button set or icon:
// ERROR_INVALID_PARAMETER). The owner (its dialog, when a control is given) takes no input
// until the box is answered.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// ---------------------------------------------------------------------------------------------
// File-open and file-save dialogs
// ---------------------------------------------------------------------------------------------
#define OFN_READONLY 0x00000001u
#define OFN_OVERWRITEPROMPT 0x00000002u
#define OFN_HIDEREADONLY 0x00000004u
#define OFN_NOCHANGEDIR 0x00000008u
#define OFN_SHOWHELP 0x00000010u
#define OFN_ENABLEHOOK 0x00000020u
#define OFN_ENABLETEMPLATE 0x00000040u
#define OFN_NOVALIDATE 0x00000100u
#define OFN_ALLOWMULTISELECT 0x00000200u
#define OFN_EXTENSIONDIFFERENT 0x00000400u
#define OFN_PATHMUSTEXIST 0x00000800u
#define OFN_FILEMUSTEXIST 0x00001000u
#define OFN_CREATEPROMPT 0x00002000u
#define OFN_NOREADONLYRETURN 0x00008000u
#define OFN_NOTESTFILECREATE 0x00010000u

using LPOFNHOOKPROC = UINT_PTR(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);

struct OPENFILENAMEW {
  DWORD lStructSize;
  HWND hwndOwner;
  HINSTANCE hInstance;
  LPCWSTR lpstrFilter;  // pairs of "description\0pattern\0", ended by an empty string
  LPWSTR lpstrCustomFilter;
  DWORD nMaxCustFilter;
  DWORD nFilterIndex;  // 1-based
  LPWSTR lpstrFile;    // in: proposed name (or empty); out: the chosen path
  DWORD nMaxFile;      // characters in lpstrFile, terminator included
  LPWSTR lpstrFileTitle;
  DWORD nMaxFileTitle;
  LPCWSTR lpstrInitialDir;
  LPCWSTR lpstrTitle;
  DWORD Flags;
  WORD nFileOffset;
  WORD nFileExtension;
  LPCWSTR lpstrDefExt;
  LPARAM lCustData;
  LPOFNHOOKPROC lpfnHook;
  LPCWSTR lpTemplateName;
};
using LPOPENFILENAMEW = OPENFILENAMEW*;

// Common dialog error codes (CommDlgExtendedError).
#define CDERR_DIALOGFAILURE 0xFFFFu
#define CDERR_STRUCTSIZE 0x0001u
#define CDERR_INITIALIZATION 0x0002u
#define CDERR_NOHINSTANCE 0x0004u
#define FNERR_SUBCLASSFAILURE 0x3001u
#define FNERR_INVALIDFILENAME 0x3002u
#define FNERR_BUFFERTOOSMALL 0x3003u

// Both return TRUE with the chosen path in lpstrFile, or FALSE when the user cancelled
// (CommDlgExtendedError 0) or the request cannot be served (CommDlgExtendedError names why).
BOOL GetOpenFileNameW(LPOPENFILENAMEW request);
BOOL GetSaveFileNameW(LPOPENFILENAMEW request);
DWORD CommDlgExtendedError();
