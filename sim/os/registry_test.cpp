// The module's registry: the Reg* calls, persistence across resets, the registry clear, and the
// REGEDIT4 text form.
#include "sim/os/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "sim/os/regedit.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Utf16Bytes(std::u16string_view text) {
  Bytes bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

class RegistryTest : public testing_support::ModuleTest {
 protected:
  // Power-cycles the module: this process ends, ram/ is cleared, the module boots again.
  void ResetModule() {
    sim::Detach();
    std::string error;
    ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
    ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  }

  static LONG SetDword(const char16_t* keyPath, const char16_t* name, DWORD value) {
    HKEY key = nullptr;
    LONG status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, 0, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
      return status;
    }
    status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    RegCloseKey(key);
    return status;
  }

  static LONG GetDword(const char16_t* keyPath, const char16_t* name, DWORD* value) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, 0, &key);
    if (status != ERROR_SUCCESS) {
      return status;
    }
    DWORD type = 0;
    DWORD size = 4;
    status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return status;
  }
};

TEST_F(RegistryTest, ChangeWithoutFlush_IsLostAtReset) {
  ASSERT_EQ(SetDword(u"Software\\Test", u"Kept", 7), ERROR_SUCCESS);
  DWORD value = 0;
  ASSERT_EQ(GetDword(u"Software\\Test", u"Kept", &value), ERROR_SUCCESS);
  ResetModule();
  EXPECT_EQ(GetDword(u"Software\\Test", u"Kept", &value), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ChangeAfterFlush_SurvivesReset) {
  ASSERT_EQ(SetDword(u"Software\\Test", u"Kept", 7), ERROR_SUCCESS);
  ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  // Changed again after the flush: that change is not persistent.
  ASSERT_EQ(SetDword(u"Software\\Test", u"Kept", 8), ERROR_SUCCESS);
  ResetModule();
  DWORD value = 0;
  ASSERT_EQ(GetDword(u"Software\\Test", u"Kept", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
}

TEST_F(RegistryTest, LiveRegistry_IsSharedWithTheNextProcessWithoutFlush) {
  ASSERT_EQ(SetDword(u"Software\\Test", u"Live", 3), ERROR_SUCCESS);
  Reattach();  // another process on the running module
  DWORD value = 0;
  ASSERT_EQ(GetDword(u"Software\\Test", u"Live", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
}

TEST_F(RegistryTest, ChangeByAnotherProcess_IsSeenByAnOpenKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Shared", 0, nullptr, 0, 0, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  // What another process writes lands in the live file; this process must pick it up.
  sim::RegistryTree tree;
  ASSERT_TRUE(sim::RegistrySnapshot(&tree));
  tree.CreatePath(u"HKEY_LOCAL_MACHINE\\Software\\Shared")
      ->SetValue({u"FromOutside", REG_DWORD, {9, 0, 0, 0}});
  std::string error;
  ASSERT_TRUE(sim::SaveRegistryFile(Machine().RamDirectory() / "registry.live", tree, &error));
  DWORD value = 0;
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"FromOutside", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 9u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, RegistryClear_NextBootsStartFromTheImageRegistry) {
  ASSERT_EQ(SetDword(u"Software\\Test", u"Saved", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  constexpr DWORD kIoctlRegistryClear = 0x01012010;
  ASSERT_TRUE(KernelIoControl(kIoctlRegistryClear, nullptr, 0, nullptr, 0, nullptr));
  ResetModule();
  DWORD value = 0;
  EXPECT_EQ(GetDword(u"Software\\Test", u"Saved", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(sim::RegistryKeyExists("HKLM\\Ident"));  // the image's own keys are there
  EXPECT_FALSE(std::filesystem::exists(ModuleDirectory() / sim::kRegistryClearedMarker));
  // The cleared store stays cleared: a further reset does not bring the old registry back.
  ResetModule();
  EXPECT_EQ(GetDword(u"Software\\Test", u"Saved", &value), ERROR_FILE_NOT_FOUND);
}

struct ValueCase {
  const char* label;
  DWORD type;
  Bytes data;
};

class RegistryValueTest : public RegistryTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(RegistryValueTest, ValueReadsBackByteForByteAfterFlushAndReset) {
  const ValueCase& value = GetParam();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Values", 0, nullptr, 0, 0, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"Value \"quoted\" \\ name", 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  ResetModule();
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\values", 0, 0, &key), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"value \"QUOTED\" \\ NAME", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  Bytes read(size);
  ASSERT_EQ(RegQueryValueExW(key, u"value \"QUOTED\" \\ NAME", nullptr, &type, read.data(), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, value.type);
  EXPECT_EQ(read, value.data);
}

INSTANTIATE_TEST_SUITE_P(
    Types, RegistryValueTest,
    ::testing::Values(
        ValueCase{"String", REG_SZ, Utf16Bytes(std::u16string(u"\\Flash Disk \"x\"\0", 16))},
        ValueCase{"NonAsciiString", REG_SZ,
                  Utf16Bytes(std::u16string(u"Gr\u00fc\u00dfe \u20ac\0", 9))},
        ValueCase{"StringWithoutTerminator", REG_SZ, Utf16Bytes(u"abc")},
        ValueCase{"StringWithLineBreak", REG_SZ, Utf16Bytes(std::u16string(u"a\nb\0", 4))},
        ValueCase{"EmptyString", REG_SZ, Utf16Bytes(std::u16string(u"\0", 1))},
        ValueCase{"ExpandString", REG_EXPAND_SZ, Utf16Bytes(std::u16string(u"%windir%\\x\0", 11))},
        ValueCase{"MultiString", REG_MULTI_SZ, Utf16Bytes(std::u16string(u"one\0two\0\0", 9))},
        ValueCase{"Dword", REG_DWORD, Bytes{0x78, 0x56, 0x34, 0x12}},
        ValueCase{"Binary", REG_BINARY, Bytes(100, 0xA5)},
        ValueCase{"EmptyBinary", REG_BINARY, Bytes{}}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.label; });

TEST_F(RegistryTest, QueryValue_SizesAndErrorsAsThePlatformReportsThem) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Query", 0, nullptr, 0, 0, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const Bytes text = Utf16Bytes(std::u16string(u"FlashDisk\0", 10));
  ASSERT_EQ(
      RegSetValueExW(key, u"Profile", 0, REG_SZ, text.data(), static_cast<DWORD>(text.size())),
      ERROR_SUCCESS);
  DWORD size = 0;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Profile", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 20u);
  BYTE small[8] = {};
  size = sizeof(small);
  EXPECT_EQ(RegQueryValueExW(key, u"Profile", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 20u);
  EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"Profile", nullptr, &type, small, nullptr),
            ERROR_INVALID_PARAMETER);
  const DWORD wrongSize = 7;
  EXPECT_EQ(
      RegSetValueExW(key, u"Short", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&wrongSize), 2),
      ERROR_INVALID_PARAMETER);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(key, u"Profile", nullptr, &type, nullptr, &size),
            ERROR_INVALID_HANDLE);
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Nowhere", 0, 0, &missing),
            ERROR_FILE_NOT_FOUND);
  // A key handle is not a kernel handle.
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Query", 0, 0, &key), ERROR_SUCCESS);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(key)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteKey_RemovesTheSubtreeAndOpenHandlesSeeItGone) {
  ASSERT_EQ(SetDword(u"Software\\Tree\\Branch\\Leaf", u"V", 1), ERROR_SUCCESS);
  HKEY leaf = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tree\\Branch\\Leaf", 0, 0, &leaf),
            ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"software\\TREE"), ERROR_SUCCESS);
  EXPECT_FALSE(sim::RegistryKeyExists("HKLM\\Software\\Tree"));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(leaf, u"V", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Tree"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(leaf);
}

TEST_F(RegistryTest, Enumeration_VisitsEveryKeyAndValueThenReportsNoMoreItems) {
  ASSERT_EQ(SetDword(u"Software\\Enum\\A", u"x", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(u"Software\\Enum\\B", u"y", 2), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(u"Software\\Enum", u"first", 3), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(u"Software\\Enum", u"second", 4), ERROR_SUCCESS);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Enum", 0, 0, &key), ERROR_SUCCESS);
  std::vector<std::u16string> keys;
  for (DWORD index = 0;; ++index) {
    WCHAR name[32];
    DWORD nameSize = 32;
    const LONG status =
        RegEnumKeyExW(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) {
      break;
    }
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(nameSize, 1u);
    keys.emplace_back(name, nameSize);
  }
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"A", u"B"}));
  std::vector<std::u16string> values;
  for (DWORD index = 0;; ++index) {
    WCHAR name[32];
    DWORD nameSize = 32;
    DWORD type = 0;
    DWORD data = 0;
    DWORD dataSize = 4;
    const LONG status = RegEnumValueW(key, index, name, &nameSize, nullptr, &type,
                                      reinterpret_cast<BYTE*>(&data), &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) {
      break;
    }
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    values.emplace_back(name, nameSize);
  }
  EXPECT_EQ(values, (std::vector<std::u16string>{u"first", u"second"}));
  WCHAR tiny[3];
  DWORD tinySize = 3;
  EXPECT_EQ(RegEnumValueW(key, 0, tiny, &tinySize, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  RegCloseKey(key);
}

TEST_F(RegistryTest, FaultPlan_MakesTheFlushFailAndNothingIsStored) {
  ASSERT_EQ(SetDword(u"Software\\Test", u"Unsaved", 1), ERROR_SUCCESS);
  Machine().Faults().Add(faults::Call{.name = "RegFlushKey", .error = 29});
  EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_WRITE_FAULT);
  ResetModule();
  DWORD value = 0;
  EXPECT_EQ(GetDword(u"Software\\Test", u"Unsaved", &value), ERROR_FILE_NOT_FOUND);
}

// ---------------------------------------------------------------------------------------------
// REGEDIT4 text
// ---------------------------------------------------------------------------------------------
// A name with a lone surrogate cannot be stored in the registry's files as it is: it is refused
// where it is given instead of coming back from a flush as another name.
TEST_F(RegistryTest, NameWithLoneSurrogate_IsRefused) {
  const std::u16string lone = std::u16string(u"Name") + char16_t{0xD800};
  const DWORD value = 1;
  EXPECT_EQ(SetDword(u"Software\\Names", lone.c_str(), value), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetDword((u"Software\\" + lone).c_str(), u"Value", value), ERROR_INVALID_PARAMETER);
  const std::u16string pair = std::u16string(u"Name") + char16_t{0xD83D} + char16_t{0xDE00};
  EXPECT_EQ(SetDword(u"Software\\Names", pair.c_str(), value), ERROR_SUCCESS);
  ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  ResetModule();
  DWORD read = 0;
  EXPECT_EQ(GetDword(u"Software\\Names", pair.c_str(), &read), ERROR_SUCCESS);
  EXPECT_EQ(read, value);
}

TEST(RegistryText, WrittenTextParsesBackToTheSameTree) {
  sim::RegistryTree tree;
  sim::RegistryKey* key = tree.CreatePath(u"HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\StrataFMD");
  key->SetValue({u"Profile", REG_SZ, Utf16Bytes(std::u16string(u"FlashDisk\0", 10))});
  key->SetValue({u"", REG_SZ, Utf16Bytes(std::u16string(u"default\0", 8))});
  key->SetValue({u"Table", REG_BINARY, Bytes(300, 0x5A)});  // wraps over several lines
  key->SetValue({u"Odd", 0x12345, Bytes{1, 2, 3}});
  tree.CreatePath(u"HKEY_CURRENT_USER\\Empty\\Leaf");
  const std::string text = sim::WriteRegistryText(tree);
  sim::RegistryTree parsed;
  std::string error;
  ASSERT_TRUE(sim::ParseRegistryText(text, "x.reg", &parsed, &error)) << error;
  EXPECT_EQ(sim::WriteRegistryText(parsed), text);
  ASSERT_NE(parsed.FindPath(u"HKCU\\empty\\LEAF"), nullptr);
  const sim::RegistryValue* table =
      parsed.FindPath(u"HKLM\\Drivers\\BuiltIn\\StrataFMD")->FindValue(u"table");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->data, Bytes(300, 0x5A));
}

struct DamageCase {
  const char* label;
  const char* text;
  const char* expected;  // part of the one error line
};

class RegistryTextDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(RegistryTextDamage, DamagedText_GivesOneLineNamingFileAndLine) {
  sim::RegistryTree tree;
  tree.CreatePath(u"HKLM\\Untouched");
  const std::string before = sim::WriteRegistryText(tree);
  std::string error;
  EXPECT_FALSE(sim::ParseRegistryText(GetParam().text, "registry.reg", &tree, &error));
  EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  EXPECT_EQ(sim::WriteRegistryText(tree), before);  // the tree is left as it was
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryTextDamage,
    ::testing::Values(
        DamageCase{"NoSignature", "[HKEY_LOCAL_MACHINE\\A]\n", "registry.reg: line 1:"},
        DamageCase{"UnknownRoot", "REGEDIT4\n\n[HKEY_NOWHERE\\A]\n", "registry.reg: line 3:"},
        DamageCase{"ValueBeforeKey", "REGEDIT4\n\"a\"=\"b\"\n", "line 2: value before"},
        DamageCase{"BadDword", "REGEDIT4\n[HKLM\\A]\n\"a\"=dword:1234567890\n", "line 3: dword"},
        DamageCase{"UnterminatedString", "REGEDIT4\n[HKLM\\A]\n\"a\"=\"b\n", "line 3:"},
        DamageCase{"BadHexItem", "REGEDIT4\n[HKLM\\A]\n\"a\"=hex:01,2,03\n", "line 3: hex"},
        DamageCase{"ContinuationPastEnd", "REGEDIT4\n[HKLM\\A]\n\"a\"=hex:01,\\\n", "past the end"},
        DamageCase{"BadEscape", "REGEDIT4\n[HKLM\\A]\n\"a\"=\"\\n\"\n", "escape"},
        DamageCase{"InvalidUtf8", "REGEDIT4\n[HKLM\\A]\n\"a\"=\"\xC3\x28\"\n", "UTF-8"},
        DamageCase{"EmptyKeyName", "REGEDIT4\n[HKLM\\A\\\\B]\n", "line 2: key name"},
        DamageCase{"Deletion", "REGEDIT4\n[-HKLM\\A]\n", "deletions"}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.label; });

}  // namespace
