// The file-open and file-save dialogs over the module's files, and the folder listing and path
// rules the front ends browse with. Every look at the files goes through the module's own file
// calls, so a dialog sees exactly what the program would.
#include <algorithm>
#include <cstdio>

#include "platform/kernel.h"
#include "platform/text.h"
#include "sim/base/names.h"
#include "sim/base/utf.h"
#include "sim/module/machine.h"
#include "sim/os/os_call.h"
#include "sim/ui/window_manager.h"

using namespace sim::ui;
using namespace sim::ui::detail;

namespace {

constexpr char16_t kSeparator = u'\\';

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::vector<std::u16string> SplitPath(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (char16_t c : path) {
    if (IsSeparator(c)) {
      if (!part.empty()) {
        parts.push_back(part);
      }
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) {
    parts.push_back(part);
  }
  return parts;
}

std::u16string FolderOf(const std::u16string& path) {
  const std::size_t last = path.find_last_of(u"\\");
  if (last == std::u16string::npos || last == 0) {
    return u"\\";
  }
  return path.substr(0, last);
}

std::u16string NameOf(const std::u16string& path) {
  const std::size_t last = path.find_last_of(u"\\/");
  return last == std::u16string::npos ? path : path.substr(last + 1);
}

bool IsFolder(const std::u16string& path) {
  if (path == u"\\") {
    return true;
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Names the module's file systems cannot hold.
bool IsValidName(const std::u16string& name) {
  if (name.empty() || name == u"." || name == u"..") {
    return false;
  }
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"<>:\"|?*").find(c) != std::u16string_view::npos) {
      return false;
    }
  }
  return name.back() != u'.' && name.back() != u' ';
}

// The filter string: pairs of "description\0pattern\0" ended by an empty description.
bool ParseFilter(LPCWSTR filter, std::vector<FileFilter>* filters) {
  if (filter == nullptr) {
    return true;
  }
  const WCHAR* at = filter;
  while (*at != 0) {
    FileFilter entry;
    entry.description = at;
    at += entry.description.size() + 1;
    if (*at == 0) {
      return false;  // a description without its pattern
    }
    entry.pattern = at;
    at += entry.pattern.size() + 1;
    filters->push_back(std::move(entry));
    if (filters->size() > 64) {
      return false;
    }
  }
  return true;
}

// Flags the dialogs carry out. Hooks, templates, several files, the overwrite and create
// questions and help are not modelled, so a request that relies on one is refused rather than
// served without it.
constexpr DWORD kModelledFlags = OFN_READONLY | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                                 OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_NOREADONLYRETURN |
                                 OFN_NOTESTFILECREATE | OFN_EXTENSIONDIFFERENT;

BOOL Refuse(DWORD code, const std::string& reason) {
  SetDialogError(code);
  if (sim::IsAttached()) {
    sim::CurrentMachine().DebugLog("file dialog refused: " + reason);
  }
  return FALSE;
}

BOOL RunFileDialog(LPOPENFILENAMEW request, bool save) {
  SetDialogError(0);
  const char* name = save ? "GetSaveFileNameW" : "GetOpenFileNameW";
  if (request == nullptr || request->lStructSize != sizeof(OPENFILENAMEW)) {
    return Refuse(CDERR_STRUCTSIZE, "lStructSize is not the record's size");
  }
  DWORD error = 0;
  if (sim::IsAttached() && sim::CallFails(name, {sim::Word(request->hwndOwner), request->Flags},
                                          CDERR_DIALOGFAILURE, &error, request->lpstrFile)) {
    SetDialogError(error);
    return FALSE;
  }
  if ((request->Flags & ~kModelledFlags) != 0) {
    char flags[16];
    std::snprintf(flags, sizeof(flags), "0x%X", request->Flags & ~kModelledFlags);
    return Refuse(CDERR_INITIALIZATION, std::string("flags ") + flags + " are not modelled");
  }
  if (request->lpstrFile == nullptr || request->nMaxFile == 0) {
    return Refuse(CDERR_INITIALIZATION, "no file buffer");
  }
  const std::size_t proposedLength = WideLengthBounded(request->lpstrFile, request->nMaxFile);
  if (proposedLength >= request->nMaxFile) {
    return Refuse(FNERR_BUFFERTOOSMALL, "the file buffer holds no terminated name");
  }
  FileDialogView view;
  view.save = save;
  view.flags = request->Flags;
  if (!ParseFilter(request->lpstrFilter, &view.filters)) {
    return Refuse(CDERR_INITIALIZATION, "malformed filter");
  }
  if (!view.filters.empty()) {
    const DWORD index = request->nFilterIndex == 0 ? 1 : request->nFilterIndex;
    view.filterIndex = index <= view.filters.size() ? index - 1 : 0;
  }
  view.title = request->lpstrTitle != nullptr ? std::u16string(request->lpstrTitle)
                                              : std::u16string(save ? u"Save As" : u"Open");
  view.defaultExtension =
      request->lpstrDefExt != nullptr ? std::u16string(request->lpstrDefExt) : std::u16string();
  // Where browsing starts: the folder of a proposed path, else the initial folder, else the
  // root; a folder that does not exist gives the root.
  const std::u16string proposed(request->lpstrFile, proposedLength);
  std::u16string folder = u"\\";
  if (proposed.find_first_of(u"\\/") != std::u16string::npos) {
    folder = FolderOf(ResolvePath(u"\\", proposed));
  } else if (request->lpstrInitialDir != nullptr && request->lpstrInitialDir[0] != 0) {
    folder = ResolvePath(u"\\", request->lpstrInitialDir);
  }
  if (!IsFolder(folder)) {
    folder = u"\\";
  }
  view.folder = folder;
  view.fileName = NameOf(proposed);
  RequireFrontEnd(name);
  std::shared_ptr<Window> dialog;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> owner;
    if (request->hwndOwner != nullptr) {
      owner = FindLocked(request->hwndOwner);
      if (owner && owner->parent != nullptr) {
        owner = FindLocked(owner->parent);
      }
      if (!owner) {
        return Refuse(CDERR_DIALOGFAILURE, "the owner is not a window");
      }
    }
    dialog = NewWindowLocked(WindowKind::kFileDialog);
    dialog->owner = owner ? owner->handle : nullptr;
    dialog->text = view.title;
    dialog->file = view;
  }
  RunModal(dialog, nullptr);
  if (dialog->result != IDOK) {
    return FALSE;  // cancelled: CommDlgExtendedError stays 0
  }
  const std::u16string& path = dialog->chosenPath;
  if (path.size() + 1 > request->nMaxFile) {
    // The first character of the buffer tells how many the path needs.
    request->lpstrFile[0] = static_cast<WCHAR>(std::min<std::size_t>(path.size() + 1, 0xFFFF));
    SetDialogError(FNERR_BUFFERTOOSMALL);
    return FALSE;
  }
  std::copy(path.begin(), path.end(), request->lpstrFile);
  request->lpstrFile[path.size()] = 0;
  const std::size_t nameStart = path.find_last_of(u'\\') + 1;
  const std::size_t dot = path.find_last_of(u'.');
  request->nFileOffset = static_cast<WORD>(nameStart);
  request->nFileExtension =
      static_cast<WORD>(dot != std::u16string::npos && dot >= nameStart ? dot + 1 : path.size());
  if (request->lpstrFileTitle != nullptr && request->nMaxFileTitle > 0) {
    WideCopy(request->lpstrFileTitle, request->nMaxFileTitle, path.c_str() + nameStart);
  }
  if (!view.filters.empty()) {
    request->nFilterIndex = static_cast<DWORD>(dialog->file.filterIndex + 1);
  }
  const std::u16string extension =
      dot != std::u16string::npos && dot >= nameStart ? path.substr(dot + 1) : std::u16string();
  if (!view.defaultExtension.empty() &&
      WideCompareNoCase(extension.c_str(), view.defaultExtension.c_str()) != 0) {
    request->Flags |= OFN_EXTENSIONDIFFERENT;
  } else {
    request->Flags &= ~static_cast<DWORD>(OFN_EXTENSIONDIFFERENT);
  }
  return TRUE;
}

}  // namespace

namespace sim::ui {

std::u16string ResolvePath(const std::u16string& folder, const std::u16string& name) {
  std::vector<std::u16string> parts;
  if (name.empty() || !IsSeparator(name.front())) {
    parts = SplitPath(folder);
  }
  for (const std::u16string& part : SplitPath(name)) {
    if (part == u".") {
      continue;
    }
    if (part == u"..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
      continue;
    }
    parts.push_back(part);
  }
  std::u16string path;
  for (const std::u16string& part : parts) {
    path += kSeparator;
    path += part;
  }
  return path.empty() ? std::u16string(u"\\") : path;
}

bool MatchesPatterns(const std::u16string& name, const std::u16string& patterns) {
  if (patterns.empty()) {
    return true;
  }
  std::size_t start = 0;
  while (start <= patterns.size()) {
    std::size_t end = patterns.find(u';', start);
    if (end == std::u16string::npos) {
      end = patterns.size();
    }
    std::u16string pattern = patterns.substr(start, end - start);
    while (!pattern.empty() && pattern.front() == u' ') {
      pattern.erase(pattern.begin());
    }
    while (!pattern.empty() && pattern.back() == u' ') {
      pattern.pop_back();
    }
    // "*.*" means every file, those without a dot too.
    if (pattern == u"*.*" || (!pattern.empty() && sim::MatchWildcard(pattern, name))) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool ListFolder(const std::u16string& folder, const std::u16string& patterns,
                std::vector<FolderEntry>* entries) {
  entries->clear();
  const std::u16string search = (folder == u"\\" ? std::u16string() : folder) + u"\\*";
  WIN32_FIND_DATAW data{};
  HANDLE find = FindFirstFileW(search.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    // An empty folder has nothing to find; a missing one is an error.
    return GetLastError() == ERROR_NO_MORE_FILES || GetLastError() == ERROR_FILE_NOT_FOUND
               ? IsFolder(folder)
               : false;
  }
  do {
    const std::u16string name = data.cFileName;
    if (name == u"." || name == u"..") {
      continue;
    }
    const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isFolder || MatchesPatterns(name, patterns)) {
      entries->push_back(
          {name, isFolder,
           (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(entries->begin(), entries->end(), [](const FolderEntry& a, const FolderEntry& b) {
    if (a.folder != b.folder) {
      return a.folder;
    }
    return WideCompareNoCase(a.name.c_str(), b.name.c_str()) < 0;
  });
  return true;
}

bool AnswerFileDialog(HWND dialogHandle, const std::u16string& path, std::string* why) {
  FileDialogView view;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
    if (!dialog || dialog->kind != WindowKind::kFileDialog) {
      if (why != nullptr) {
        *why = "no such file dialog is open";
      }
      return false;
    }
    if (!TakesInputLocked(*dialog)) {
      if (why != nullptr) {
        *why = "the file dialog takes no input now";
      }
      return false;
    }
    view = dialog->file;
  }
  std::u16string full = ResolvePath(view.folder, path);
  std::u16string name = NameOf(full);
  std::u16string problem;
  if (path.empty() || IsSeparator(path.back()) || full == u"\\") {
    problem = u"Give a file name.";
  } else if (!IsValidName(name)) {
    problem = u"The file name \"" + name + u"\" is not valid.";
  } else {
    if (name.find(u'.') == std::u16string::npos && !view.defaultExtension.empty()) {
      full += u"." + view.defaultExtension;
      name = NameOf(full);
    }
    const DWORD attributes = GetFileAttributesW(full.c_str());
    const std::u16string folder = FolderOf(full);
    if (full.size() >= MAX_PATH) {
      problem = u"The path is too long.";
    } else if (attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      problem = u"\"" + full + u"\" is a folder.";
    } else if ((view.flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST)) != 0 && !IsFolder(folder)) {
      problem = u"The folder \"" + folder + u"\" does not exist.";
    } else if ((view.flags & OFN_FILEMUSTEXIST) != 0 && attributes == INVALID_FILE_ATTRIBUTES) {
      problem = u"The file \"" + full + u"\" cannot be found.";
    }
  }
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
  if (!dialog || !TakesInputLocked(*dialog)) {
    if (why != nullptr) {
      *why = "the file dialog closed meanwhile";
    }
    return false;
  }
  if (!problem.empty()) {
    dialog->file.problem = problem;
    Touch();
    if (why != nullptr) {
      *why = sim::ToUtf8(problem);
    }
    return false;
  }
  dialog->file.problem.clear();
  dialog->chosenPath = full;
  EndLocked(*dialog, IDOK);
  return true;
}

bool CancelFileDialog(HWND dialogHandle, std::string* why) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
  if (!dialog || dialog->kind != WindowKind::kFileDialog || !TakesInputLocked(*dialog)) {
    if (why != nullptr) {
      *why = "no such file dialog takes input";
    }
    return false;
  }
  EndLocked(*dialog, IDCANCEL);
  return true;
}

bool SelectFileFilter(HWND dialogHandle, std::size_t index) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
  if (!dialog || dialog->kind != WindowKind::kFileDialog || index >= dialog->file.filters.size()) {
    return false;
  }
  dialog->file.filterIndex = index;
  Touch();
  return true;
}

}  // namespace sim::ui

BOOL GetOpenFileNameW(LPOPENFILENAMEW request) { return RunFileDialog(request, false); }

BOOL GetSaveFileNameW(LPOPENFILENAMEW request) { return RunFileDialog(request, true); }
