// flashwick-module fault add|list|clear: the module's fault plan (module.json "faults") from the
// command line.
//
// An item is built from KIND and field=value words, each value typed by the field its kind
// declares, and checked with the whole module.json as attaching checks it: what the tool adds,
// the module accepts. module.json is read, changed and written back under its lock, so that a
// running program writing its own fields meanwhile keeps the plan as the tool left it. A
// program already running keeps the plan it loaded; the next one takes the new plan.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/module_tool.h"
#include "sim/base/file_lock.h"
#include "sim/base/files.h"
#include "sim/base/hex.h"
#include "sim/module/fault_plan.h"
#include "sim/module/machine.h"

namespace module_tool {
namespace {

namespace fs = std::filesystem;
using sim::FaultField;
using sim::FaultFieldType;
using sim::FaultKind;
using sim::FaultPlan;
using sim::Json;

constexpr const char* kAddUsage = "fault add [DIR] KIND [field=value ...] [--json]";
constexpr const char* kListUsage = "fault list [DIR] [--json]";
constexpr const char* kClearUsage = "fault clear [DIR] [INDEX] [--json]";

// A number of a hex field, as wide as its largest value: 0x01F40000, 0xF1EC.
std::string HexText(const FaultField& field, std::uint64_t value) {
  const int digits = field.maximum <= 0xFF ? 2 : field.maximum <= 0xFFFF ? 4 : 8;
  return sim::Hex(value, digits);
}

std::string TypeWords(const FaultField& field) {
  switch (field.type) {
    case FaultFieldType::kUnsigned:
      if (field.hex) {
        return HexText(field, 0) + ".." + HexText(field, field.maximum);
      }
      return "0.." + std::to_string(field.maximum);
    case FaultFieldType::kCount:
      return "-1.." + std::to_string(field.maximum);
    case FaultFieldType::kText:
      return "text";
    case FaultFieldType::kChoice: {
      std::string words;
      for (std::string_view choice : field.choices) {
        words += (words.empty() ? "" : "|") + std::string(choice);
      }
      return words;
    }
    case FaultFieldType::kBitList:
      return "N,N,... (each 0.." + std::to_string(field.maximum) + ")";
    default:
      return "?";
  }
}

void PrintKinds(std::FILE* out) {
  for (const FaultKind* kind : FaultPlan::Kinds()) {
    std::fprintf(out, "  %-24s %s\n", std::string(kind->name).c_str(),
                 std::string(kind->help).c_str());
  }
}

void PrintFields(std::FILE* out, const FaultKind& kind, const char* indent) {
  for (const FaultField& field : sim::FaultKindFields(kind)) {
    std::fprintf(out, "%s%-10s %-9s %s (%s)\n", indent, std::string(field.name).c_str(),
                 field.required ? "required" : "optional", std::string(field.help).c_str(),
                 TypeWords(field).c_str());
  }
}

// A value as the item holds it: typed by the declared field. A value that is not of the
// field's type stays text, so that the plan's own check names the field and what it takes.
Json TypedValue(const FaultField* field, const std::string& text) {
  if (field == nullptr) {
    return text;
  }
  unsigned long long number = 0;
  switch (field->type) {
    case FaultFieldType::kUnsigned:
      return ParseNumber(text, &number) ? Json(static_cast<std::uint64_t>(number)) : Json(text);
    case FaultFieldType::kCount:
      if (text == "-1") {
        return -1;
      }
      return ParseNumber(text, &number) ? Json(static_cast<std::uint64_t>(number)) : Json(text);
    case FaultFieldType::kBitList: {
      Json numbers = Json::array();
      std::size_t at = 0;
      while (!text.empty() && at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        if (!ParseNumber(text.substr(at, comma - at), &number)) {
          return text;
        }
        numbers.push_back(static_cast<std::uint64_t>(number));
        at = comma + 1;
      }
      return numbers;
    }
    default:
      return text;
  }
}

std::string ValueText(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// A field's value as the user writes it: addresses, offsets and identifiers in hex.
std::string FieldValueText(const Json& kind, const std::string& name, const Json& value) {
  const FaultKind* declared =
      kind.is_string() ? FaultPlan::FindKind(kind.get<std::string>()) : nullptr;
  if (declared != nullptr && value.is_number_unsigned()) {
    for (const FaultField& field : sim::FaultKindFields(*declared)) {
      if (field.name == name && field.hex) {
        return HexText(field, value.get<std::uint64_t>());
      }
    }
  }
  return ValueText(value);
}

// "nand.program-fail page=64 count=1", "nor.erase-fail block=0x00040000"
std::string ItemText(const Json& item) {
  std::string text = item.is_object() && item.contains("kind") ? ValueText(item["kind"]) : "?";
  if (item.is_object()) {
    for (const auto& [field, value] : item.items()) {
      if (field != "kind") {
        text += " " + field + "=" + FieldValueText(item["kind"], field, value);
      }
    }
  } else {
    text = item.dump();
  }
  return text;
}

// DIR is the first argument when it names a folder, or when a KIND follows it.
struct AddArguments {
  fs::path directory;
  std::vector<std::string> words;  // KIND, then field=value
};

AddArguments SplitAddArguments(const Arguments& arguments) {
  const std::vector<std::string>& all = arguments.positional;
  std::vector<std::string> rest(all.begin() + 1, all.end());
  Arguments forDirectory;
  const bool directoryGiven =
      !rest.empty() && rest[0].find('=') == std::string::npos &&
      (fs::is_directory(rest[0]) || (rest.size() >= 2 && rest[1].find('=') == std::string::npos));
  if (directoryGiven) {
    forDirectory.positional.push_back(rest[0]);
    rest.erase(rest.begin());
  }
  return {ModuleDirectoryArgument(forDirectory), rest};
}

// The plan's items in module.json (an empty array when it has none).
Json PlanItems(const Json& config) {
  const auto faults = config.find("faults");
  if (faults == config.end() || !faults->is_object()) {
    return Json::array();
  }
  const auto items = faults->find("items");
  return items != faults->end() && items->is_array() ? *items : Json::array();
}

int Add(const Arguments& arguments) {
  const AddArguments split = SplitAddArguments(arguments);
  if (split.words.empty() || split.words[0].find('=') != std::string::npos) {
    std::fprintf(stderr, "kinds:\n");
    PrintKinds(stderr);
    return Fail(std::string("fault add: KIND is missing (usage: ") + kAddUsage + ")");
  }
  const std::string& kindName = split.words[0];
  const FaultKind* kind = FaultPlan::FindKind(kindName);
  if (kind == nullptr) {
    std::fprintf(stderr, "kinds:\n");
    PrintKinds(stderr);
    return Fail("fault add: unknown kind \"" + kindName +
                "\" (the kinds are listed above; flashwick-module fault --help shows their "
                "fields)");
  }
  const std::vector<FaultField> fields = sim::FaultKindFields(*kind);
  Json item = {{"kind", kindName}};
  for (std::size_t i = 1; i < split.words.size(); ++i) {
    const std::string& word = split.words[i];
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0) {
      return Fail("fault add: \"" + word + "\" is not field=value");
    }
    const std::string name = word.substr(0, equals);
    if (item.contains(name)) {
      return Fail("fault add: field \"" + name + "\" is given twice");
    }
    const FaultField* field = nullptr;
    for (const FaultField& each : fields) {
      field = each.name == name ? &each : field;
    }
    item[name] = TypedValue(field, word.substr(equals + 1));
  }

  const fs::path& directory = split.directory;
  sim::LockFileGuard lock(directory / sim::kModuleConfigLock);
  Json config;
  std::string error;
  if (!sim::ReadModuleConfig(directory, &config, &error)) {
    return Fail(error);
  }
  if (!config.contains("faults")) {
    config["faults"] = Json::object();
  }
  if (config["faults"].is_object() && !config["faults"].contains("items")) {
    config["faults"]["items"] = Json::array();
  }
  std::size_t index = 0;
  if (config["faults"].is_object() && config["faults"]["items"].is_array()) {
    index = config["faults"]["items"].size();
    config["faults"]["items"].push_back(item);
  }
  // The same check as attaching: the item against its kind, and what its components add (a
  // block beyond the chip), with the rest of the module as it is.
  if (!sim::CheckModuleConfig(directory, config, &error)) {
    if (error.find("faults.items[" + std::to_string(index) + "]") != std::string::npos) {
      std::fprintf(stderr, "fields of %s:\n", kindName.c_str());
      PrintFields(stderr, *kind, "  ");
    } else if (error.find("\"faults") != std::string::npos) {
      // The plan as it stands is refused already: the item at fault can be cleared.
      error += " (flashwick-module fault list shows the plan; fault clear removes an item)";
    }
    return Fail("fault add: refused, module.json unchanged: " + error);
  }
  if (!FaultPlan::ForgetFired(directory, index, false, &error) ||
      !sim::WriteWholeFile(directory / "module.json", config.dump(2) + "\n", &error)) {
    return Fail(error);
  }
  if (arguments.Has("json")) {
    PrintJson(Json{{"module", directory.string()}, {"index", index}, {"item", item}});
  } else {
    std::printf("added fault item %zu: %s\n", index, ItemText(item).c_str());
  }
  return 0;
}

int List(const Arguments& arguments) {
  if (arguments.positional.size() > 2) {
    return Fail(std::string("usage: ") + kListUsage);
  }
  Arguments forDirectory;
  forDirectory.positional.assign(arguments.positional.begin() + 1, arguments.positional.end());
  const fs::path directory = ModuleDirectoryArgument(forDirectory);
  Json config;
  std::string error;
  // Read as it is: a plan the module refuses is still shown, with the reason per item, so that
  // it can be cleared.
  if (!sim::ReadModuleConfig(directory, &config, &error)) {
    return Fail(error);
  }
  Json plan = FaultPlanJson(directory, config);
  if (arguments.Has("json")) {
    plan["module"] = directory.string();
    PrintJson(plan);
  } else {
    std::printf("module %s\n", directory.string().c_str());
    PrintFaultPlan(plan, stdout);
  }
  return 0;
}

int Clear(const Arguments& arguments) {
  std::vector<std::string> rest(arguments.positional.begin() + 1, arguments.positional.end());
  if (rest.size() > 2) {
    return Fail(std::string("usage: ") + kClearUsage);
  }
  std::string indexText;
  unsigned long long number = 0;
  if (rest.size() == 2 ||
      (rest.size() == 1 && !fs::is_directory(rest[0]) && ParseNumber(rest[0], &number))) {
    indexText = rest.back();
    rest.pop_back();
    if (!ParseNumber(indexText, &number)) {
      return Fail("fault clear: INDEX is not a number: " + indexText);
    }
  }
  Arguments forDirectory;
  forDirectory.positional = rest;
  const fs::path directory = ModuleDirectoryArgument(forDirectory);
  sim::LockFileGuard lock(directory / sim::kModuleConfigLock);
  Json config;
  std::string error;
  if (!sim::ReadModuleConfig(directory, &config, &error)) {
    return Fail(error);
  }
  Json items = PlanItems(config);
  Json cleared = Json::array();
  if (!indexText.empty()) {
    if (number >= items.size()) {
      return Fail("fault clear: no fault item " + indexText + " (the plan has " +
                  std::to_string(items.size()) + ")");
    }
    cleared.push_back(items[number]);
    items.erase(static_cast<std::size_t>(number));
  } else {
    cleared = items;
    items = Json::array();
  }
  if (!cleared.empty()) {
    if (!config.contains("faults") || !config["faults"].is_object()) {
      config["faults"] = Json::object();
    }
    config["faults"]["items"] = items;
    // module.json first: a record left behind counts only for the items it names.
    if (!sim::WriteWholeFile(directory / "module.json", config.dump(2) + "\n", &error) ||
        !FaultPlan::ForgetFired(
            directory, indexText.empty() ? FaultPlan::kEveryItem : static_cast<std::size_t>(number),
            true, &error)) {
      return Fail(error);
    }
  }
  if (arguments.Has("json")) {
    PrintJson(Json{{"module", directory.string()}, {"cleared", cleared}, {"left", items.size()}});
  } else if (!indexText.empty()) {
    std::printf("cleared fault item %s: %s (%zu left)\n", indexText.c_str(),
                ItemText(cleared[0]).c_str(), items.size());
  } else {
    std::printf("cleared %zu fault item%s\n", cleared.size(), cleared.size() == 1 ? "" : "s");
  }
  return 0;
}

int Fault(const Arguments& arguments) {
  const std::string& action = arguments.positional[0];
  if (action == "add") {
    return Add(arguments);
  }
  if (action == "list") {
    return List(arguments);
  }
  if (action == "clear") {
    return Clear(arguments);
  }
  return Fail("fault: unknown action \"" + action + "\" (add, list or clear)");
}

void FaultHelp(std::FILE* out) {
  std::fprintf(out,
               "  %s\n"
               "      adds an item to the module's fault plan (module.json \"faults\"); numbers\n"
               "      are decimal or 0x hex, a list of bits is N,N,...; the item is checked as\n"
               "      attaching the module checks it, and module.json is left as it was when\n"
               "      it does not hold\n"
               "  %s\n"
               "      shows the plan: index, kind, fields and how often each item fired\n"
               "  %s\n"
               "      removes item INDEX (later items move down one) or every item, with the\n"
               "      record of their firings\n\n"
               "A program already running keeps the plan it started with.\n\nkinds:\n",
               kAddUsage, kListUsage, kClearUsage);
  for (const FaultKind* kind : FaultPlan::Kinds()) {
    std::fprintf(out, "  %-24s %s\n", std::string(kind->name).c_str(),
                 std::string(kind->help).c_str());
    PrintFields(out, *kind, "      ");
  }
}

void FaultOverview(std::FILE* out) {
  std::fprintf(out, "\nfault kinds (flashwick-module fault --help shows their fields):\n");
  PrintKinds(out);
}

const ModuleCommandRegistrar kFault({"fault",
                                     "fault add|list|clear [DIR] [ARGS...] [--json]",
                                     "add, list or clear items of the module's fault plan",
                                     {},
                                     Fault,
                                     FaultHelp,
                                     FaultOverview});

}  // namespace

Json FaultPlanJson(const fs::path& directory, const Json& config) {
  const Json items = PlanItems(config);
  const std::vector<std::uint64_t> fired = FaultPlan::FiredCounts(directory, items);
  Json rows = Json::array();
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Json& item = items[i];
    Json row = {{"index", i}, {"kind", item.is_object() ? item.value("kind", Json()) : Json()}};
    Json fields = Json::object();
    if (item.is_object()) {
      for (const auto& [field, value] : item.items()) {
        if (field != "kind") {
          fields[field] = value;
        }
      }
    }
    row["fields"] = fields;
    row["fired"] = fired[i];
    std::string field;
    std::string message;
    if (sim::FaultItem::Parse(item, &field, &message) == nullptr) {
      row["refused"] = FaultPlan::FieldPath(i, field) + ": " + message;
    }
    rows.push_back(row);
  }
  Json plan = {{"items", rows}};
  const auto faults = config.find("faults");
  if (faults != config.end() && faults->is_object() && faults->contains("seed")) {
    plan["seed"] = (*faults)["seed"];
  }
  return plan;
}

void PrintFaultPlan(const Json& plan, std::FILE* out) {
  const Json& items = plan["items"];
  if (items.empty()) {
    std::fprintf(out, "fault plan: no items (flashwick-module fault add KIND field=value ...)\n");
    return;
  }
  std::fprintf(out, "fault plan: %zu item%s%s\n", items.size(), items.size() == 1 ? "" : "s",
               plan.contains("seed") ? (", seed " + ValueText(plan["seed"])).c_str() : "");
  std::fprintf(out, "  %-5s %-24s %-8s %s\n", "index", "kind", "fired", "fields");
  for (const Json& row : items) {
    std::string fields;
    for (const auto& [field, value] : row["fields"].items()) {
      fields +=
          (fields.empty() ? "" : " ") + field + "=" + FieldValueText(row["kind"], field, value);
    }
    std::fprintf(out, "  %-5s %-24s %-8s %s\n", row["index"].dump().c_str(),
                 ValueText(row["kind"]).c_str(), row["fired"].dump().c_str(), fields.c_str());
    if (row.contains("refused")) {
      std::fprintf(out, "        refused: %s\n", row["refused"].get<std::string>().c_str());
    }
  }
}

}  // namespace module_tool
