// Reading resource scripts: the program's own, and the faults a script can carry.
#include "sim/ui/resources.h"

#include <gtest/gtest.h>

#include <map>

#include "resources/resource.h"

namespace {

using sim::ui::ControlClass;
using sim::ui::ResourceScript;

bool Parse(const std::string& text, ResourceScript* script, std::string* error,
           const std::map<std::string, std::string>& files = {}) {
  auto source = [&files](const std::string& name, std::string* contents) {
    auto it = files.find(name);
    if (it == files.end()) {
      return false;
    }
    *contents = it->second;
    return true;
  };
  return sim::ui::ParseResourceScript("test.rc", text, source, script, error);
}

TEST(ResourceScript, ProgramScript_HoldsTheThreeDialogsAndTheIcon) {
  const ResourceScript& script = sim::ui::ProgramResources();
  ASSERT_EQ(script.dialogs.size(), 3u);
  ASSERT_NE(script.FindDialog(IDD_MAIN), nullptr);
  ASSERT_NE(script.FindDialog(IDD_PROGRESS), nullptr);
  ASSERT_NE(script.FindDialog(IDD_REGION), nullptr);
  const sim::ui::IconResource* icon = script.FindIcon(IDI_FLASHWICK);
  ASSERT_NE(icon, nullptr);
  EXPECT_TRUE(sim::ui::IsIconImage(icon->image));
  const sim::ui::DialogTemplate& main = *script.FindDialog(IDD_MAIN);
  EXPECT_EQ(main.fontSize, 8);
  EXPECT_EQ(main.fontName, u"System");
  EXPECT_NE(main.style & WS_SYSMENU, 0u);
  EXPECT_EQ(script.FindDialog(IDD_PROGRESS)->style & WS_SYSMENU, 0u);
}

TEST(ResourceScript, Statements_ReadStylesTextsAndDefinitions) {
  const std::string text = R"(#include <windows.h>
#include "ids.h"
/* a block
   comment */
7 DIALOG DISCARDABLE 0, 0, 100, 60
STYLE WS_POPUP | WS_CAPTION
CAPTION "Say ""hi"""
FONT 8, "System"
{
    LTEXT "one\ttwo",IDC_TEXT,1,2,30,8 // trailing comment
    CONTROL "",IDC_BAR,"msctls_progress32",WS_BORDER | NOT WS_VISIBLE,1,20,90,10
    PUSHBUTTON "Go",IDC_BASE + 1,1,40,30,12,WS_DISABLED | NOT WS_TABSTOP
    LISTBOX IDC_LIST,40,0,60,20
}
)";
  const std::map<std::string, std::string> files = {
      {"ids.h",
       "#pragma once\n#define IDC_BASE 0x100\n#define IDC_TEXT (IDC_BASE)\n"
       "#define IDC_BAR 300\n#define IDC_LIST 301L\n"}};
  ResourceScript script;
  std::string error;
  ASSERT_TRUE(Parse(text, &script, &error, files)) << error;
  const sim::ui::DialogTemplate* dialog = script.FindDialog(7);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->caption, u"Say \"hi\"");
  EXPECT_EQ(dialog->style, WS_POPUP | WS_CAPTION | DS_SETFONT);
  ASSERT_EQ(dialog->controls.size(), 4u);
  const auto& label = dialog->controls[0];
  EXPECT_EQ(label.text, u"one\ttwo");
  EXPECT_EQ(label.id, 0x100);
  EXPECT_EQ(label.style, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP);
  const auto& bar = dialog->controls[1];
  EXPECT_EQ(bar.controlClass, ControlClass::kProgressBar);
  EXPECT_EQ(bar.style, WS_CHILD | WS_BORDER);
  const auto& button = dialog->controls[2];
  EXPECT_EQ(button.id, 0x101);
  EXPECT_EQ(button.style, WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON);
  const auto& list = dialog->controls[3];
  EXPECT_EQ(list.controlClass, ControlClass::kListBox);
  EXPECT_EQ(list.id, 301);
  EXPECT_EQ(list.style, WS_CHILD | WS_VISIBLE | LBS_NOTIFY | WS_BORDER);
}

TEST(ResourceScript, Faults_AreReportedWithFileAndLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const std::string head = "1 DIALOG 0, 0, 50, 50\nBEGIN\n";
  const Case cases[] = {
      {"undefined symbol", head + "PUSHBUTTON \"A\",IDC_NOWHERE,1,1,10,10\nEND\n",
       "test.rc:3: undefined symbol IDC_NOWHERE"},
      {"control outside the dialog", head + "PUSHBUTTON \"A\",5,45,1,10,10\nEND\n",
       "test.rc:3: dialog 1, control 5: lies outside"},
      {"id used twice", head + "PUSHBUTTON \"A\",5,1,1,10,10\nPUSHBUTTON \"B\",5,1,20,10,10\nEND\n",
       "control id 5 is used twice"},
      {"unknown control", head + "EDITTEXT 5,1,1,10,10\nEND\n",
       "test.rc:3: unsupported control statement 'EDITTEXT'"},
      {"unknown class", head + "CONTROL \"\",5,\"SysListView32\",0,1,1,10,10\nEND\n",
       "unsupported control class \"SysListView32\""},
      {"check box style", head + "CONTROL \"x\",5,\"Button\",3,1,1,10,10\nEND\n",
       "unsupported button style 3"},
      {"string not closed", head + "LTEXT \"A,5,1,1,10,10\nEND\n",
       "test.rc:3: string is not closed"},
      {"missing END", head + "LTEXT \"A\",5,1,1,10,10\n", "dialog has no END"},
      {"missing include", "#include \"absent.h\"\n", "test.rc:1: cannot open include file"},
      {"missing icon file", "3 ICON \"absent.ico\"\n", "cannot open icon file"},
      {"named resource", "IDD_X DIALOG 0, 0, 10, 10\nBEGIN\nEND\n",
       "resource name IDD_X is not a defined number"},
      {"conditional", "#ifdef X\n", "test.rc:1: unsupported directive #ifdef"},
      {"dialog twice", "1 DIALOG 0,0,9,9\nBEGIN\nEND\n1 DIALOG 0,0,9,9\nBEGIN\nEND\n",
       "dialog 1 is defined twice"},
      {"self reference", "#define A (A)\n1 DIALOG 0,0,A,9\nBEGIN\nEND\n", "refers to itself"},
      {"deep nesting", "1 DIALOG 0,0," + std::string(100, '(') + "9" + std::string(100, ')'),
       "nested too deeply"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResourceScript script;
    std::string error;
    EXPECT_FALSE(Parse(c.text, &script, &error));
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
  }
}

TEST(ResourceScript, IconImages_AreCheckedBeforeUse) {
  const std::vector<std::uint8_t> good = [] {
    constexpr std::uint8_t kDirectory[22] = {0, 0,  1, 0,  1, 0, 1, 1,  0, 0, 1,
                                             0, 32, 0, 40, 0, 0, 0, 22, 0, 0, 0};
    std::vector<std::uint8_t> image(22 + 40, 0);
    for (std::size_t i = 0; i < sizeof(kDirectory); ++i) {
      image[i] = kDirectory[i];
    }
    image[22] = 40;  // BITMAPINFOHEADER size
    return image;
  }();
  EXPECT_TRUE(sim::ui::IsIconImage(good));
  std::vector<std::uint8_t> cursor = good;
  cursor[2] = 2;  // a cursor file, not an icon
  EXPECT_FALSE(sim::ui::IsIconImage(cursor));
  std::vector<std::uint8_t> cut(good.begin(), good.begin() + 40);
  EXPECT_FALSE(sim::ui::IsIconImage(cut));
  std::vector<std::uint8_t> none = good;
  none[4] = 0;  // no images
  EXPECT_FALSE(sim::ui::IsIconImage(none));
  std::vector<std::uint8_t> notBitmap = good;
  notBitmap[22] = 12;
  EXPECT_FALSE(sim::ui::IsIconImage(notBitmap));
}

}  // namespace
