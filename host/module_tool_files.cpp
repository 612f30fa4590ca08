// flashwick-module files: the module's volumes (the flash disk among them) through the module's
// own file calls, as a program on the module sees them: list a folder, copy a file out or in.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/module_tool.h"
#include "platform/kernel.h"
#include "sim/base/files.h"
#include "sim/base/utf.h"
#include "sim/module/boot_flash.h"
#include "sim/module/machine.h"

namespace module_tool {
namespace {

namespace fs = std::filesystem;
using sim::Json;

constexpr DWORD kCopyChunk = 0x10000;

bool IsAction(const std::string& word) { return word == "ls" || word == "get" || word == "put"; }

// A module path: backslashes, one leading; "/" is taken for "\".
std::u16string ModulePath(std::string text) {
  for (char& c : text) {
    if (c == '/') {
      c = '\\';
    }
  }
  if (text.empty() || text.front() != '\\') {
    text.insert(text.begin(), '\\');
  }
  while (text.size() > 1 && text.back() == '\\') {
    text.pop_back();
  }
  return sim::FromUtf8(text);
}

// Attaches the module, unless another process holds "OnModuleFlash" (the flash disk's driver
// would wait for it on every access). Returns 0 or the exit code, the reason printed.
int AttachIdle(const fs::path& module) {
  std::string error;
  if (!sim::Attach(module, sim::AttachOptions{}, &error)) {
    return Fail(error);
  }
  if (!sim::CurrentMachine().OsRunning()) {
    // The volumes are the running OS's.
    const std::string started = sim::BootOutcomeText(sim::CurrentMachine().Started());
    sim::Detach();
    return Fail("the module's OS is not running: " + started);
  }
  if (LookAtFlashLock() != FlashLockState::kFree) {
    sim::Detach();
    return Fail(kFlashLockHeldText);
  }
  return 0;
}

int List(const Arguments& arguments, const std::vector<std::string>& words) {
  if (words.size() > 1) {
    return Fail("files ls: one folder at most");
  }
  const std::u16string folder = ModulePath(words.empty() ? "\\" : words[0]);
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (folder != u"\\" &&
      (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)) {
    sim::Detach();
    return Fail("files ls: no folder " + sim::ToUtf8(folder) + " on the module");
  }
  const std::u16string pattern = (folder == u"\\" ? u"" : folder) + u"\\*";
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
  Json entries = Json::array();
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      const std::uint64_t size =
          (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
      entries.push_back({{"name", sim::ToUtf8(entry.cFileName)},
                         {"folder", directory},
                         {"size", directory ? 0 : size},
                         {"attributes", entry.dwFileAttributes}});
    } while (FindNextFileW(search, &entry));
    (void)FindClose(search);
  }
  sim::Detach();
  if (arguments.Has("json")) {
    PrintJson(Json({{"folder", sim::ToUtf8(folder)}, {"entries", entries}}));
    return 0;
  }
  std::printf("%s\n", sim::ToUtf8(folder).c_str());
  for (const Json& item : entries) {
    if (item["folder"].get<bool>()) {
      std::printf("  %12s  %s\\\n", "<dir>", item["name"].get<std::string>().c_str());
    } else {
      std::printf("  %12llu  %s\n", item["size"].get<unsigned long long>(),
                  item["name"].get<std::string>().c_str());
    }
  }
  return 0;
}

int Get(const Arguments& arguments, const std::vector<std::string>& words) {
  if (words.size() != 2) {
    return Fail("usage: files [DIR] get MODULE-FILE HOST-FILE [--force]");
  }
  const std::u16string source = ModulePath(words[0]);
  std::error_code code;
  const fs::path target = fs::absolute(words[1], code);
  if (code || !fs::is_directory(target.parent_path(), code)) {
    sim::Detach();
    return Fail(words[1] + ": no such folder");
  }
  if (fs::exists(target, code) && (fs::is_directory(target, code) || !arguments.Has("force"))) {
    sim::Detach();
    return Fail(target.string() + (fs::is_directory(target, code)
                                       ? " is a folder"
                                       : " exists (--force replaces it)"));
  }
  HANDLE file = CreateFileW(source.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    sim::Detach();
    return Fail("files get: " + sim::ToUtf8(source) + " cannot be opened on the module (error " +
                std::to_string(error) + ")");
  }
  std::string content;
  std::vector<char> buffer(kCopyChunk);
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer.data(), kCopyChunk, &got, nullptr) != 0) && got > 0) {
    content.append(buffer.data(), got);
  }
  (void)CloseHandle(file);
  sim::Detach();
  if (!ok) {
    return Fail("files get: " + sim::ToUtf8(source) + " cannot be read on the module");
  }
  const fs::path temporary = target.parent_path() / ("." + target.filename().string() + "." +
                                                     std::to_string(::getpid()) + ".part");
  std::string error;
  if (!sim::WriteWholeFile(temporary, content, &error)) {
    fs::remove(temporary, code);
    return Fail(error);
  }
  fs::rename(temporary, target, code);
  if (code) {
    fs::remove(temporary, code);
    return Fail(target.string() + ": cannot write");
  }
  if (arguments.Has("json")) {
    PrintJson(
        Json({{"from", sim::ToUtf8(source)}, {"to", target.string()}, {"bytes", content.size()}}));
  } else {
    std::printf("copied %zu bytes from %s to %s\n", content.size(), sim::ToUtf8(source).c_str(),
                target.string().c_str());
  }
  return 0;
}

int Put(const Arguments& arguments, const std::vector<std::string>& words) {
  if (words.size() != 2) {
    return Fail("usage: files [DIR] put HOST-FILE MODULE-FILE [--force]");
  }
  std::string content;
  std::error_code code;
  if (!fs::is_regular_file(words[0], code) || !sim::ReadWholeFile(words[0], &content)) {
    sim::Detach();
    return Fail(words[0] + ": no such file");
  }
  const std::u16string target = ModulePath(words[1]);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !arguments.Has("force"))) {
    sim::Detach();
    return Fail("files put: " + sim::ToUtf8(target) +
                ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? " is a folder"
                                                              : " exists (--force replaces it)"));
  }
  HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    sim::Detach();
    return Fail("files put: " + sim::ToUtf8(target) + " cannot be created on the module (error " +
                std::to_string(error) + ")");
  }
  bool ok = true;
  for (std::size_t done = 0; ok && done < content.size();) {
    const DWORD piece =
        static_cast<DWORD>(std::min<std::size_t>(content.size() - done, kCopyChunk));
    DWORD written = 0;
    ok = WriteFile(file, content.data() + done, piece, &written, nullptr) != 0 && written == piece;
    done += piece;
  }
  const DWORD error = ok ? 0 : GetLastError();
  ok = CloseHandle(file) != 0 && ok;
  if (!ok) {
    (void)DeleteFileW(target.c_str());  // a part of the file must not pass for all of it
  }
  sim::Detach();
  if (!ok) {
    return Fail("files put: writing " + sim::ToUtf8(target) + " failed (error " +
                std::to_string(error) + "); the module keeps no part of it");
  }
  if (arguments.Has("json")) {
    PrintJson(Json({{"from", words[0]}, {"to", sim::ToUtf8(target)}, {"bytes", content.size()}}));
  } else {
    std::printf("copied %zu bytes from %s to %s\n", content.size(), words[0].c_str(),
                sim::ToUtf8(target).c_str());
  }
  return 0;
}

int Files(const Arguments& arguments) {
  const std::vector<std::string>& positional = arguments.positional;
  std::size_t action = 0;
  while (action < positional.size() && action < 2 && !IsAction(positional[action])) {
    ++action;
  }
  if (action >= positional.size() || !IsAction(positional[action])) {
    return Fail("usage: files [DIR] ls|get|put [ARGS...]");
  }
  if (action == 1 && !fs::exists(fs::path(positional[0]) / "module.json")) {
    return Fail("files: " + positional[0] + " is not a module (no module.json)");
  }
  Arguments directory;
  if (action == 1) {
    directory.positional.push_back(positional[0]);
  }
  const std::vector<std::string> words(positional.begin() + static_cast<std::ptrdiff_t>(action) + 1,
                                       positional.end());
  const std::string& verb = positional[action];
  if (verb == "ls" && arguments.Has("force")) {
    return Fail("files ls: --force is for get and put");
  }
  if (const int attached = AttachIdle(ModuleDirectoryArgument(directory)); attached != 0) {
    return attached;
  }
  if (verb == "ls") {
    return List(arguments, words);
  }
  return verb == "get" ? Get(arguments, words) : Put(arguments, words);
}

void FilesHelp(std::FILE* out) {
  std::fprintf(out,
               "  ls [FOLDER]                        list a folder of the module (default \\)\n"
               "  get MODULE-FILE HOST-FILE          copy a file of the module to this computer\n"
               "  put HOST-FILE MODULE-FILE          copy a file of this computer to the module\n"
               "Module paths are the module's own (\"\\Flash Disk\\Data\\a.txt\"; / is taken\n"
               "for \\). The files go through the module's file calls, so the flash disk's driver\n"
               "writes them to the flash. An existing target is kept unless --force is given;\n"
               "a file that cannot be written whole is not left behind.\n");
}

const ModuleCommandRegistrar kFiles({"files",
                                     "files [DIR] ls|get|put [ARGS...] [--force] [--json]",
                                     "list, get or put files of the module's volumes",
                                     {},
                                     Files,
                                     FilesHelp});

}  // namespace
}  // namespace module_tool
