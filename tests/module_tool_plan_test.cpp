// flashwick-module plan: what it says an update will do is what the update then does. Each sample
// update file of every preset is planned and then written: the module time within 10 %, the
// pages the update programs and the blocks it erases (counted by the chip models of an update in
// this process on a second module), and the pages that change (the flash before and after).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "library/library_internal.h"
#include "sim/base/files.h"
#include "sim/hw/nand_flash.h"
#include "sim/hw/nor_flash.h"
#include "sim/module/machine.h"
#include "tests/support/program_state.h"
#include "tests/support/tool_module.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::ToolModule;

// Every file of the module but its RAM (the clock and the attach records of a process), with
// its content.
std::map<std::string, std::string> ModuleFiles(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    const std::string name = fs::relative(entry.path(), directory).string();
    // ram/ is the running module's state; files/Flash Disk is the running OS's view of its
    // volume, made when the OS mounts it at the first attach after a start.
    if (name.rfind("ram", 0) == 0 || name.rfind("files/Flash Disk", 0) == 0 ||
        !entry.is_regular_file()) {
      continue;
    }
    std::string content;
    EXPECT_TRUE(sim::ReadWholeFile(entry.path(), &content)) << name;
    if (name == "files.meta") {
      // Every attach notes the host folders' stamps there (a cache, not the module's content):
      // the entries are compared without them.
      content = std::regex_replace(
          content, std::regex(R"(^((?:\S+ ){4})\d+ )", std::regex::multiline), "$1");
      files[name] = content;
      continue;
    }
    files[name] = std::to_string(entry.last_write_time().time_since_epoch().count()) + ":" +
                  std::to_string(content.size()) + ":" +
                  std::to_string(std::hash<std::string>{}(content));
  }
  return files;
}

// The line of the output that says why a file is refused, with its newline.
std::string RefusalLine(const std::string& output) {
  const std::size_t start = output.find("flashwick-module: ");
  if (start == std::string::npos) {
    return {};
  }
  const std::size_t end = output.find('\n', start);
  return output.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
}

double ModuleSeconds(const std::string& output) {
  std::smatch match;
  const std::regex line(R"(exit code \d+ after ([0-9.]+) s of module time)");
  return std::regex_search(output, match, line) ? std::stod(match[1]) : -1.0;
}

std::size_t ChangedUnits(const std::vector<std::uint8_t>& before,
                         const std::vector<std::uint8_t>& after, std::size_t unit) {
  std::size_t changed = 0;
  for (std::size_t at = 0; at < before.size(); at += unit) {
    const std::size_t length = std::min(unit, before.size() - at);
    changed +=
        std::equal(before.begin() + at, before.begin() + at + length, after.begin() + at) ? 0 : 1;
  }
  return changed;
}

// What the chip models counted of the program's own flash operations during an update of the
// file, run in this process through the library as the program runs it.
struct Counted {
  std::uint64_t erases = 0;
  std::uint64_t programs = 0;
  std::uint64_t reads = 0;
};

Counted CountUpdate(const fs::path& module, const std::string& name, bool nand) {
  Counted counted;
  std::string error;
  if (!sim::Attach(module, sim::AttachOptions{}, &error)) {
    ADD_FAILURE() << error;
    return counted;
  }
  testing_support::ForgetProgramState();
  EXPECT_EQ(FWLInit(), FWL_OK);
  ImageInfo info{};
  const std::u16string path = u"\\USB HD\\IMAGES\\" + std::u16string(name.begin(), name.end());
  EXPECT_EQ(FWLSetBinFile(path.c_str(), &info, nullptr, 1), FWL_OK);
  const sim::NorStatistics norBefore = nand ? sim::NorStatistics{} : sim::NorStats();
  const sim::NandBusyTotals nandBefore =
      nand ? sim::NandFlash::Current()->Totals() : sim::NandBusyTotals{};
  EXPECT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_OK);
  if (nand) {
    const sim::NandBusyTotals after = sim::NandFlash::Current()->Totals();
    counted = {after.erases - nandBefore.erases, after.programs - nandBefore.programs,
               after.reads - nandBefore.reads};
  } else {
    const sim::NorStatistics after = sim::NorStats();
    counted = {after.blockErases - norBefore.blockErases,
               after.bufferPrograms - norBefore.bufferPrograms, 0};
  }
  (void)FWLCloseBinFile();
  FreeWorkBuffer();
  testing_support::ForgetProgramState();
  sim::Detach();
  return counted;
}

struct PlanCase {
  const char* preset;
  const char* file;
};

void PrintTo(const PlanCase& c, std::ostream* out) { *out << c.preset << " " << c.file; }

class PlanThenUpdate : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanThenUpdate, PlanMatchesWhatTheUpdateDoes) {
  const ToolModule module(GetParam().preset);
  const std::string name = GetParam().file;
  const auto before = ModuleFiles(module.Directory());
  int status = -1;
  const sim::Json plan =
      module.ToolJson("plan", ToolModule::Quote(module.Images() / name), &status);
  ASSERT_EQ(status, 0) << plan.dump(2);
  // The short report says the same.
  std::string text;
  EXPECT_EQ(module.Tool("plan", ToolModule::Quote(module.Images() / name), &text), 0) << text;
  for (const sim::Json& region : plan["overwrites"]) {
    EXPECT_NE(text.find(region["name"].get<std::string>()), std::string::npos) << text;
  }
  EXPECT_NE(text.find("module time"), std::string::npos) << text;
  // A dry run: the module's files are as they were.
  EXPECT_EQ(ModuleFiles(module.Directory()), before);

  const bool hasImage = plan.contains("image");
  const bool nand =
      hasImage && plan["image"]["programUnit"].get<std::string>().find("page") != std::string::npos;
  std::uint64_t eraseStart = 0;
  std::uint64_t eraseEnd = 0;
  std::vector<std::uint8_t> flashBefore;
  if (hasImage) {
    eraseStart = plan["image"]["eraseStart"];
    eraseEnd = plan["image"]["eraseEnd"];
    flashBefore = module.Flash(static_cast<std::uint32_t>(eraseStart),
                               static_cast<std::uint32_t>(eraseEnd - eraseStart));
  }

  std::string output;
  ASSERT_EQ(module.Program("/u '\\USB HD\\IMAGES\\" + name + "'", &output), 0) << output;
  const double real = ModuleSeconds(output);
  const double estimate = plan["moduleSeconds"];
  ASSERT_GT(real, 0.0) << output;
  EXPECT_LE(std::fabs(estimate - real), 0.10 * real)
      << "estimated " << estimate << " s, the update took " << real << " s\n"
      << plan["steps"].dump(2);

  if (hasImage) {
    const std::vector<std::uint8_t> flashAfter = module.Flash(
        static_cast<std::uint32_t>(eraseStart), static_cast<std::uint32_t>(eraseEnd - eraseStart));
    EXPECT_EQ(ChangedUnits(flashBefore, flashAfter, nand ? 2048 : 64),
              plan["image"]["unitsDiffering"].get<std::size_t>());
    // The same update on a second module of the preset, counted by the chip models.
    const ToolModule twin(GetParam().preset);
    const Counted counted = CountUpdate(twin.Directory(), name, nand);
    EXPECT_EQ(counted.programs, plan["image"]["programOperations"].get<std::uint64_t>());
    EXPECT_EQ(counted.erases, plan["image"]["blocksErased"].get<std::uint64_t>());
    if (nand) {
      EXPECT_EQ(counted.reads, plan["image"]["pagesRead"].get<std::uint64_t>());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    SampleFiles, PlanThenUpdate,
    ::testing::Values(PlanCase{"pxa270-32m", "os-update.bin"},
                      PlanCase{"pxa270-32m", "full-backup.bin"},
                      PlanCase{"pxa270-64m", "os-update.bin"},
                      PlanCase{"pxa270-64m", "full-backup.bin"},
                      PlanCase{"pxa320", "os-update.bin"}, PlanCase{"pxa320", "full-backup.bin"},
                      PlanCase{"pxa320", "cpld-update.bin"}, PlanCase{"pxa300", "os-update.bin"},
                      PlanCase{"pxa300", "full-backup.bin"}, PlanCase{"pxa300", "cpld-update.bin"},
                      PlanCase{"pxa310", "os-update.bin"}, PlanCase{"pxa310", "full-backup.bin"},
                      PlanCase{"pxa310", "cpld-update.bin"}),
    [](const ::testing::TestParamInfo<PlanCase>& info) {
      std::string label = std::string(info.param.preset) + "_" + info.param.file;
      for (char& c : label) {
        c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
      }
      return label;
    });

// A header whose length reaches past the records (a damaged length) makes the update erase every
// block of that range: the plan names the regions it erases without writing a record, and the
// update then leaves them erased.
class DamagedHeaderLength : public ::testing::TestWithParam<const char*> {};

TEST_P(DamagedHeaderLength, RegionsErasedWithoutARecordAreNamedAndThenErased) {
  const ToolModule module(GetParam());
  int status = -1;
  const sim::Json info = module.ToolJson("info", "", &status);
  ASSERT_EQ(status, 0);
  std::uint32_t osStart = 0;
  std::uint32_t registryStart = 0;
  std::uint32_t registryEnd = 0;
  for (const sim::Json& region : info["flashMap"]["regions"]) {
    const auto start =
        static_cast<std::uint32_t>(std::stoul(region["start"].get<std::string>(), nullptr, 16));
    const auto length =
        static_cast<std::uint32_t>(std::stoul(region["length"].get<std::string>(), nullptr, 16));
    if (region["kind"] == "OS Image") {
      osStart = start;
    } else if (region["kind"] == "Registry") {
      registryStart = start;
      registryEnd = start + length;
    }
  }
  ASSERT_GT(registryStart, osStart);
  std::string bytes;
  ASSERT_TRUE(sim::ReadWholeFile(module.Images() / "os-update.bin", &bytes));
  const std::uint32_t length = registryEnd - osStart;  // from the OS image to the registry's end
  for (int i = 0; i < 4; ++i) {
    bytes[11 + i] = static_cast<char>(length >> (8 * i));
  }
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(module.Images() / "long-header.bin", bytes, &error)) << error;
  ASSERT_NE(module.Flash(registryStart, 64), std::vector<std::uint8_t>(64, 0xFF));

  const sim::Json plan =
      module.ToolJson("plan", ToolModule::Quote(module.Images() / "long-header.bin"), &status);
  ASSERT_EQ(status, 0) << plan.dump(2);
  ASSERT_EQ(plan["overwrites"].size(), 1u) << plan["overwrites"].dump();
  EXPECT_EQ(plan["overwrites"][0]["name"], "OS Image");
  ASSERT_EQ(plan["erasedWithoutRecord"].size(), 1u) << plan["erasedWithoutRecord"].dump();
  EXPECT_EQ(plan["erasedWithoutRecord"][0]["name"], "Registry");
  EXPECT_EQ(plan["erasedWithoutRecord"][0]["writtenBytes"], 0);
  std::string text;
  EXPECT_EQ(module.Tool("plan", ToolModule::Quote(module.Images() / "long-header.bin"), &text), 0);
  EXPECT_NE(text.find("erases only      Registry"), std::string::npos) << text;

  std::string output;
  ASSERT_EQ(module.Program("/u '\\USB HD\\IMAGES\\long-header.bin'", &output), 0) << output;
  const double real = ModuleSeconds(output);
  EXPECT_LE(std::fabs(plan["moduleSeconds"].get<double>() - real), 0.10 * real) << output;
  EXPECT_EQ(module.Flash(registryStart, registryEnd - registryStart),
            std::vector<std::uint8_t>(registryEnd - registryStart, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(Presets, DamagedHeaderLength, ::testing::Values("pxa270-32m", "pxa320"));

// A file the update refuses gets the refusal bin gives, on standard error or as an object.
TEST(PlanRefusals, RefusedFilesAreReportedAsBinReportsThem) {
  const ToolModule module("pxa320");
  const std::string text = "not a bin file\n";
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(module.File("notes.txt"), text, &error)) << error;
  for (const fs::path& file : {module.Images() / "damaged.bin", module.File("notes.txt")}) {
    SCOPED_TRACE(file.string());
    std::string planned;
    std::string checked;
    EXPECT_EQ(module.Tool("plan", ToolModule::Quote(file), &planned), 1) << planned;
    EXPECT_EQ(RunCommand(Executable("flashwick-module") + " bin " + ToolModule::Quote(file) +
                             " --module " + module.Quoted(),
                         &checked),
              1);
    // bin also lays out what it read; the refusal line is the same.
    EXPECT_EQ(planned, RefusalLine(checked)) << checked;
    EXPECT_NE(planned.find("refused"), std::string::npos) << planned;
    int status = -1;
    const sim::Json json = module.ToolJson("plan", ToolModule::Quote(file), &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(json["accepted"], false);
    EXPECT_TRUE(json.contains("reason")) << json.dump(2);
  }
  // The damaged sample says which record and which checksums.
  int status = -1;
  const sim::Json json =
      module.ToolJson("plan", ToolModule::Quote(module.Images() / "damaged.bin"), &status);
  EXPECT_EQ(json["status"], "FWL_ERR_CHECKSUM");
  EXPECT_EQ(json["where"]["part"], "record");
  EXPECT_TRUE(json["where"].contains("expected") && json["where"].contains("found"));
}

TEST(PlanRefusals, BadArgumentsAndABusyModuleAreRefusedAndNothingChanges) {
  const ToolModule module("pxa320");
  const auto before = ModuleFiles(module.Directory());
  const std::string tool = Executable("flashwick-module") + " plan ";
  const std::string file = ToolModule::Quote(module.Images() / "os-update.bin");
  struct Case {
    std::string arguments;
    const char* shows;
  };
  const Case cases[] = {
      {module.Quoted(), "no such file"},
      {module.Quoted() + " " + ToolModule::Quote(module.File("missing.bin")), "no such file"},
      {module.Quoted() + " " + file + " more", "unexpected argument \"more\""},
      {module.Quoted() + " " + file + " --verbose", "unknown option --verbose"},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(RunCommand(tool + c.arguments, &output), 2) << c.arguments << "\n" << output;
    EXPECT_NE(output.find(c.shows), std::string::npos) << output;
  }
  std::FILE* holder = ::popen(
      (Executable("flashwick-module") + " hold-lock " + module.Quoted() + " --ms 3000").c_str(),
      "r");
  ASSERT_NE(holder, nullptr);
  char line[128] = {};
  ASSERT_NE(std::fgets(line, sizeof(line), holder), nullptr);
  ASSERT_EQ(std::string(line).rfind("holding", 0), 0u) << line;
  std::string output;
  EXPECT_EQ(RunCommand(tool + module.Quoted() + " " + file, &output), 2) << output;
  EXPECT_NE(output.find("another process of the module holds \"OnModuleFlash\""), std::string::npos)
      << output;
  ::pclose(holder);
  EXPECT_EQ(ModuleFiles(module.Directory()), before);
}

// The module's fault plan is for the update: the dry run reads the flash without firing its
// items (a bit flip on every read of the OS image's first page would be spent and recorded), and
// says that it holds them.
TEST(PlanFaults, TheFaultPlanIsNamedAndNothingFires) {
  const ToolModule module("pxa320");
  int status = -1;
  std::string output;
  // Page 256, the first of block 4: the OS image's first page.
  ASSERT_EQ(module.Tool("fault add", "nand.bit-flip page=256 bits=1", &output), 0) << output;
  // The module starts (its bootloader and OS read the image's first page, which fires the item)
  // before the look at what the plan changes.
  ASSERT_EQ(module.Tool("info", "", &output), 0) << output;
  const sim::Json started = module.ToolJson("fault list", "", &status);
  ASSERT_EQ(status, 0) << started.dump(2);
  const auto before = ModuleFiles(module.Directory());
  const std::string file = ToolModule::Quote(module.Images() / "os-update.bin");
  const sim::Json plan = module.ToolJson("plan", file, &status);
  ASSERT_EQ(status, 0) << plan.dump(2);
  EXPECT_EQ(plan["faultPlanItems"], sim::Json::array({"nand.bit-flip"}));
  EXPECT_EQ(ModuleFiles(module.Directory()), before);
  const sim::Json list = module.ToolJson("fault list", "", &status);
  ASSERT_EQ(status, 0) << list.dump(2);
  EXPECT_EQ(list["items"][0]["fired"], started["items"][0]["fired"]) << list.dump(2);
  ASSERT_EQ(module.Tool("plan", file, &output), 0);
  EXPECT_NE(output.find("fault plan holds 1 items (nand.bit-flip)"), std::string::npos) << output;
}

// A backup written back after an OS update: only the OS image's pages change, every other page
// of the backup is programmed with what it holds already.
class PlanAfterAnotherUpdate : public ::testing::TestWithParam<const char*> {};

TEST_P(PlanAfterAnotherUpdate, OnlyThePagesThatDifferAreCountedAsChanges) {
  const ToolModule module(GetParam());
  std::string output;
  ASSERT_EQ(module.Program("/u '\\USB HD\\IMAGES\\os-update.bin'", &output), 0) << output;
  int status = -1;
  const sim::Json plan =
      module.ToolJson("plan", ToolModule::Quote(module.Images() / "full-backup.bin"), &status);
  ASSERT_EQ(status, 0) << plan.dump(2);
  const sim::Json& image = plan["image"];
  const auto differing = image["unitsDiffering"].get<std::size_t>();
  EXPECT_GT(differing, 0u);
  EXPECT_LT(differing, image["unitsProgrammed"].get<std::size_t>());
  const auto start = image["eraseStart"].get<std::uint32_t>();
  const auto length = image["eraseEnd"].get<std::uint32_t>() - start;
  const std::vector<std::uint8_t> before = module.Flash(start, length);
  ASSERT_EQ(module.Program("/u '\\USB HD\\IMAGES\\full-backup.bin'", &output), 0) << output;
  const bool nand = image["programUnit"].get<std::string>().find("page") != std::string::npos;
  EXPECT_EQ(ChangedUnits(before, module.Flash(start, length), nand ? 2048 : 64), differing);
  const double real = ModuleSeconds(output);
  EXPECT_LE(std::fabs(plan["moduleSeconds"].get<double>() - real), 0.10 * real) << output;
}

INSTANTIATE_TEST_SUITE_P(Presets, PlanAfterAnotherUpdate,
                         ::testing::Values("pxa270-32m", "pxa320"));

}  // namespace
