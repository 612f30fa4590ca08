#include "sim/module/fault_plan.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "sim/base/file_lock.h"
#include "sim/base/files.h"
#include "sim/hw/bus.h"
#include "sim/module/config_reader.h"
#include "sim/module/machine.h"

namespace sim {
namespace {

// The process's handlers of lost power and fired items (host executables install them).
std::mutex& HandlerMutex() {
  static std::mutex mutex;
  return mutex;
}
FaultPlan::PowerLostHandler& PowerLostHandlerSlot() {
  static FaultPlan::PowerLostHandler handler;
  return handler;
}
FaultPlan::FiredHandler& FiredHandlerSlot() {
  static FaultPlan::FiredHandler handler;
  return handler;
}
FaultPlan::OperationHandler& OperationHandlerSlot() {
  static FaultPlan::OperationHandler handler;
  return handler;
}
// Set while an operation handler is installed: every flash operation looks at it, and only
// then takes the handlers' lock.
std::atomic<bool> OperationHandlerInstalled{false};

constexpr FaultField kSkipField{
    .name = "skip", .type = FaultFieldType::kCount, .help = "events that pass before it fails"};
constexpr FaultField kCountField{.name = "count",
                                 .type = FaultFieldType::kCount,
                                 .help = "events that fail then (-1: every one)"};

std::string TypeText(const FaultField& field) {
  switch (field.type) {
    case FaultFieldType::kUnsigned:
      return "a number from 0 to " + std::to_string(field.maximum);
    case FaultFieldType::kCount:
      return "a whole number from -1 to " + std::to_string(field.maximum);
    case FaultFieldType::kText:
      return "text";
    case FaultFieldType::kChoice: {
      std::string text = "one of";
      for (std::size_t i = 0; i < field.choices.size(); ++i) {
        text += std::string(i == 0 ? " \"" : ", \"") + std::string(field.choices[i]) + "\"";
      }
      return text;
    }
    case FaultFieldType::kBitList:
      return "an array of numbers from 0 to " + std::to_string(field.maximum);
    default:
      return "?";
  }
}

// A whole number given as a JSON integer, or as text for the non-negative ones.
bool ParseSigned(const Json& value, std::int64_t* result) {
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(INT64_MAX)) {
      return false;
    }
    *result = static_cast<std::int64_t>(v);
    return true;
  }
  if (value.is_number_integer()) {
    *result = value.get<std::int64_t>();
    return true;
  }
  std::uint64_t v = 0;
  if (value.is_string() && ParseUnsigned(value, &v) && v <= static_cast<std::uint64_t>(INT64_MAX)) {
    *result = static_cast<std::int64_t>(v);
    return true;
  }
  return false;
}

std::string ModuleTime(const Machine* machine) {
  if (machine == nullptr) {
    return "?";
  }
  const std::uint64_t now = const_cast<Machine*>(machine)->Clock().Now();
  char text[48];
  std::snprintf(text, sizeof(text), "%" PRIu64 ".%06" PRIu64 " s", now / 1000000000,
                now % 1000000000 / 1000);
  return text;
}

// The fired record of a module directory: its entries (null where none), as the file holds them.
constexpr const char* kFiredRecordLock = ".faults.fired.lock";

Json ReadFiredRecord(const fs::path& directory) {
  std::string text;
  if (!ReadWholeFile(directory / FaultPlan::kFiredRecordFile, &text)) {
    return Json::array();
  }
  Json record = Json::parse(text, nullptr, false);
  if (record.is_discarded() || !record.is_object() || !record.contains("items") ||
      !record["items"].is_array()) {
    return Json::array();  // a damaged record counts nothing; the next firing rewrites it
  }
  return record["items"];
}

bool WriteFiredRecord(const fs::path& directory, const Json& entries, std::string* error) {
  const fs::path file = directory / FaultPlan::kFiredRecordFile;
  if (entries.empty()) {
    std::error_code code;
    fs::remove(file, code);
    if (code) {
      if (error != nullptr) {
        *error = file.string() + ": cannot remove: " + code.message();
      }
      return false;
    }
    return true;
  }
  return WriteWholeFile(file, Json{{"items", entries}}.dump(2) + "\n", error);
}

}  // namespace

std::vector<FaultField> FaultKindFields(const FaultKind& kind) {
  std::vector<FaultField> fields(kind.fields.begin(), kind.fields.end());
  if (kind.counted) {
    fields.push_back(kSkipField);
    fields.push_back(kCountField);
  }
  return fields;
}

// ---------------------------------------------------------------------------------------------
// FaultItem
// ---------------------------------------------------------------------------------------------
std::shared_ptr<const FaultItem> FaultItem::Parse(const Json& item, std::string* field,
                                                  std::string* message) {
  field->clear();
  if (!item.is_object()) {
    *message = "must be an object with a \"kind\"";
    return nullptr;
  }
  const auto kindValue = item.find("kind");
  if (kindValue == item.end() || !kindValue->is_string()) {
    *field = "kind";
    *message = "needs a \"kind\" given as text";
    return nullptr;
  }
  const std::string& name = kindValue->get_ref<const std::string&>();
  const FaultKind* kind = FaultPlan::FindKind(name);
  if (kind == nullptr) {
    *field = "kind";
    std::string known;
    for (const FaultKind* each : FaultPlan::Kinds()) {
      known += (known.empty() ? "" : ", ") + std::string(each->name);
    }
    *message = "unknown kind \"" + name + "\" (known kinds: " + known + ")";
    return nullptr;
  }
  auto parsed = std::make_shared<FaultItem>();
  parsed->kind_ = kind;
  parsed->json_ = item;
  parsed->fields_ = FaultKindFields(*kind);
  parsed->values_.resize(parsed->fields_.size());
  // A field the kind does not know is a mistake (a misspelt name would otherwise be ignored).
  for (const auto& entry : item.items()) {
    const std::string& key = entry.key();
    if (key == "kind") {
      continue;
    }
    const auto known = std::find_if(parsed->fields_.begin(), parsed->fields_.end(),
                                    [&](const FaultField& each) { return each.name == key; });
    if (known == parsed->fields_.end()) {
      *field = key;
      std::string fields;
      for (const FaultField& each : parsed->fields_) {
        fields += (fields.empty() ? "" : ", ") + std::string(each.name);
      }
      *message = "\"" + key + "\" is not a field of " + name +
                 (fields.empty() ? " (it has none)" : " (its fields: " + fields + ")");
      return nullptr;
    }
  }
  for (std::size_t i = 0; i < parsed->fields_.size(); ++i) {
    const FaultField& declared = parsed->fields_[i];
    Value& value = parsed->values_[i];
    const std::string key(declared.name);
    const auto given = item.find(key);
    if (given == item.end()) {
      if (declared.required) {
        *field = key;
        *message = "\"" + key + "\" is missing (" + std::string(declared.help) + ": " +
                   TypeText(declared) + ")";
        return nullptr;
      }
      continue;
    }
    bool valid = false;
    switch (declared.type) {
      case FaultFieldType::kUnsigned:
        valid = ParseUnsigned(*given, &value.unsignedNumber) &&
                value.unsignedNumber <= declared.maximum;
        break;
      case FaultFieldType::kCount:
        valid =
            ParseSigned(*given, &value.number) && value.number >= -1 &&
            static_cast<std::uint64_t>(std::max<std::int64_t>(value.number, 0)) <= declared.maximum;
        break;
      case FaultFieldType::kText:
        valid = given->is_string();
        if (valid) {
          value.text = given->get<std::string>();
        }
        break;
      case FaultFieldType::kChoice:
        valid = given->is_string() &&
                std::find(declared.choices.begin(), declared.choices.end(),
                          given->get_ref<const std::string&>()) != declared.choices.end();
        if (valid) {
          value.text = given->get<std::string>();
        }
        break;
      case FaultFieldType::kBitList:
        valid = given->is_array();
        for (std::size_t k = 0; valid && k < given->size(); ++k) {
          std::uint64_t number = 0;
          valid = ParseUnsigned((*given)[k], &number) && number <= declared.maximum;
          value.numbers.push_back(static_cast<std::uint32_t>(number));
        }
        break;
      default:
        break;
    }
    if (!valid) {
      *field = key;
      *message = "\"" + key + "\" must be " + TypeText(declared) + " (" +
                 std::string(declared.help) + "), not " + given->dump();
      return nullptr;
    }
    value.present = true;
  }
  return parsed;
}

const FaultItem::Value* FaultItem::Find(std::string_view field) const {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].name == field) {
      return &values_[i];
    }
  }
  return nullptr;
}

bool FaultItem::Has(std::string_view field) const {
  const Value* value = Find(field);
  return value != nullptr && value->present;
}

std::uint64_t FaultItem::Unsigned(std::string_view field, std::uint64_t fallback) const {
  const Value* value = Find(field);
  return value != nullptr && value->present ? value->unsignedNumber : fallback;
}

std::int64_t FaultItem::Signed(std::string_view field, std::int64_t fallback) const {
  const Value* value = Find(field);
  return value != nullptr && value->present ? value->number : fallback;
}

std::string_view FaultItem::String(std::string_view field, std::string_view fallback) const {
  const Value* value = Find(field);
  return value != nullptr && value->present ? std::string_view(value->text) : fallback;
}

std::span<const std::uint32_t> FaultItem::Numbers(std::string_view field) const {
  const Value* value = Find(field);
  return value != nullptr ? std::span<const std::uint32_t>(value->numbers)
                          : std::span<const std::uint32_t>();
}

// ---------------------------------------------------------------------------------------------
// Declarations
// ---------------------------------------------------------------------------------------------
std::span<const FaultKind* const> FaultPlan::Kinds() {
  // Components register from static initialisers, before anything reads a plan.
  static const std::vector<const FaultKind*> kinds = [] {
    std::vector<const FaultKind*> all = {&kCallFault, &kHeapFault};
    for (Component* component : AllComponents()) {
      for (const FaultKind* kind : component->FaultKinds()) {
        if (std::find(all.begin(), all.end(), kind) == all.end()) {
          all.push_back(kind);
        }
      }
    }
    std::sort(all.begin(), all.end(),
              [](const FaultKind* a, const FaultKind* b) { return a->name < b->name; });
    for (std::size_t i = 1; i < all.size(); ++i) {
      if (all[i - 1]->name == all[i]->name) {
        Fault("fault kind \"" + std::string(all[i]->name) + "\" is declared twice");
      }
    }
    return all;
  }();
  return kinds;
}

const FaultKind* FaultPlan::FindKind(std::string_view name) {
  for (const FaultKind* kind : Kinds()) {
    if (kind->name == name) {
      return kind;
    }
  }
  return nullptr;
}

std::string FaultPlan::FieldPath(std::size_t index, std::string_view field) {
  std::string path = "faults.items[" + std::to_string(index) + "]";
  if (!field.empty()) {
    path += "." + std::string(field);
  }
  return path;
}

std::string FaultPlan::ItemLabel(std::size_t index, const FaultKind& kind) {
  return "fault item " + std::to_string(index) + " (" + std::string(kind.name) + ")";
}

void FaultPlan::Check(ConfigReader& reader) {
  const Json* faults = reader.Find("faults");
  if (faults == nullptr) {
    return;
  }
  if (!faults->is_object()) {
    reader.Error("faults", "must be an object with seed and items");
    return;
  }
  reader.UnsignedOr("faults.seed", 0xFFFFFFFF, 1);
  const Json* items = reader.Find("faults.items");
  if (items == nullptr) {
    return;
  }
  if (!items->is_array()) {
    reader.Error("faults.items", "must be an array");
    return;
  }
  for (std::size_t i = 0; i < items->size(); ++i) {
    const Json& item = (*items)[i];
    std::string field;
    std::string message;
    if (FaultItem::Parse(item, &field, &message) == nullptr) {
      const auto kind = item.is_object() ? item.find("kind") : item.end();
      const std::string kindName = item.is_object() && kind != item.end() && kind->is_string()
                                       ? kind->get<std::string>()
                                       : std::string("no kind");
      reader.Error(FieldPath(i, field),
                   "fault item " + std::to_string(i) + " (" + kindName + "): " + message);
    }
  }
}

std::vector<std::pair<std::size_t, FaultPlan::ItemRef>> FaultPlan::CheckedItems(
    const ConfigReader& reader) {
  std::vector<std::pair<std::size_t, ItemRef>> result;
  const Json* items = reader.Find("faults.items");
  if (items == nullptr || !items->is_array()) {
    return result;
  }
  for (std::size_t i = 0; i < items->size(); ++i) {
    std::string field;
    std::string message;
    if (ItemRef item = FaultItem::Parse((*items)[i], &field, &message)) {
      result.emplace_back(i, std::move(item));
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// The plan
// ---------------------------------------------------------------------------------------------
void FaultPlan::Load(const Json& faults) {
  Clear();
  if (!faults.is_object()) {
    return;
  }
  std::uint64_t seed = 1;
  if (const auto given = faults.find("seed"); given != faults.end()) {
    ParseUnsigned(*given, &seed);
  }
  random_.seed(static_cast<std::uint32_t>(seed));
  const auto items = faults.find("items");
  if (items == faults.end() || !items->is_array()) {
    return;
  }
  for (const Json& item : *items) {
    std::string ignored;
    (void)Add(item, &ignored);
  }
}

bool FaultPlan::Add(const Json& item, std::string* error) {
  std::string field;
  std::string message;
  ItemRef parsed = FaultItem::Parse(item, &field, &message);
  std::lock_guard<std::mutex> lock(mutex_);
  if (parsed == nullptr) {
    const auto kind = item.is_object() ? item.find("kind") : item.end();
    *error =
        "fault item " + std::to_string(entries_.size()) + " (" +
        (item.is_object() && kind != item.end() && kind->is_string() ? kind->get<std::string>()
                                                                     : std::string("no kind")) +
        ")" + (field.empty() ? "" : ", field \"" + field + "\"") + ": " + message;
    return false;
  }
  Entry entry;
  entry.item = parsed;
  if (parsed->Kind().counted) {
    entry.skip = parsed->Signed("skip", 0);
    entry.count = parsed->Signed("count", parsed->Kind().defaultCount);
  }
  entries_.push_back(std::move(entry));
  generation_.fetch_add(1, std::memory_order_release);
  return true;
}

void FaultPlan::Add(const Json& item) {
  std::string error;
  if (!Add(item, &error)) {
    Fault("fault plan: " + error);
  }
}

void FaultPlan::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  generation_.fetch_add(1, std::memory_order_release);
}

bool FaultPlan::TakeCounters(Entry& entry) {
  if (entry.skip > 0) {
    --entry.skip;
    return false;
  }
  if (entry.count == 0) {
    return false;
  }
  if (entry.count > 0) {
    --entry.count;
  }
  return true;
}

void FaultPlan::Log(const Firing& firing, const std::string& target) {
  if (machine_ == nullptr || firing.fired > kLoggedFirings + 1) {
    return;
  }
  const std::string label =
      "fault " + std::string(firing.kind->name) + " (item " + std::to_string(firing.index) + ")";
  const std::string line =
      firing.fired == kLoggedFirings + 1
          ? label + ": further firings are counted, not logged"
          : label + " fired: " + target + ", module time " + ModuleTime(machine_);
  machine_->DebugLog(line);
  FiredHandler handler;
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    handler = FiredHandlerSlot();
  }
  if (handler) {
    handler(line);
  }
}

void FaultPlan::Evaluate(const FaultKind& kind, FunctionRef<bool(const FaultItem&)> match,
                         FunctionRef<std::string()> target, std::uint64_t event, bool every,
                         std::vector<ItemRef>* fired) {
  std::vector<Firing> firings;
  std::vector<Unrecorded> unrecorded;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      Entry& entry = entries_[i];
      if (&entry.item->Kind() != &kind || !match(*entry.item)) {
        continue;
      }
      if (event != kNewEvent && entry.lastEvent == event) {
        // Already answered (and counted) for another part of this event.
        if (entry.lastFired) {
          fired->push_back(entry.item);
          if (!every) {
            break;
          }
        }
        continue;
      }
      const bool fires = TakeCounters(entry);
      entry.lastEvent = event;
      entry.lastFired = fires;
      if (fires) {
        fired->push_back(entry.item);
        firings.push_back({i, &kind, ++entry.fired});
        // The first firings go to the record as they happen, as they go to the log; an item
        // that fires at every event is written back in bulk (see FlushRecord).
        if (entry.fired <= kLoggedFirings + 1) {
          unrecorded.push_back({i, entry.item->Text(), entry.fired - entry.recorded});
          entry.recorded = entry.fired;
        }
        if (!every) {
          break;
        }
      }
    }
    if (!firings.empty()) {
      const auto now = std::chrono::steady_clock::now();
      if (now - recordedAt_ >= kRecordInterval) {
        TakeUnrecorded(&unrecorded);
      }
      if (!unrecorded.empty()) {
        recordedAt_ = now;
      }
    }
  }
  if (!firings.empty()) {
    const std::string what = target();
    for (const Firing& firing : firings) {
      Log(firing, what);
    }
    Record(unrecorded);
  }
}

void FaultPlan::Record(const std::vector<Unrecorded>& firings) {
  if (machine_ == nullptr || firings.empty()) {
    return;
  }
  const fs::path directory = machine_->Directory();
  LockFileGuard lock(directory / kFiredRecordLock);
  Json entries = ReadFiredRecord(directory);
  for (const Unrecorded& firing : firings) {
    while (entries.size() <= firing.index) {
      entries.push_back(nullptr);
    }
    Json& entry = entries[firing.index];
    if (entry.is_object() && entry.value("item", Json()) == firing.item &&
        entry.value("fired", Json()).is_number_unsigned()) {
      entry["fired"] = entry["fired"].get<std::uint64_t>() + firing.fired;
    } else {
      entry = {{"item", firing.item}, {"fired", firing.fired}};
    }
  }
  std::string error;
  if (!WriteFiredRecord(directory, entries, &error)) {
    machine_->DebugLog("fault plan: the fired record cannot be written: " + error);
  }
}

void FaultPlan::TakeUnrecorded(std::vector<Unrecorded>* unrecorded) {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& entry = entries_[i];
    if (entry.fired > entry.recorded) {
      unrecorded->push_back({i, entry.item->Text(), entry.fired - entry.recorded});
      entry.recorded = entry.fired;
    }
  }
}

void FaultPlan::FlushRecord() {
  std::vector<Unrecorded> unrecorded;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    TakeUnrecorded(&unrecorded);
    recordedAt_ = std::chrono::steady_clock::now();
  }
  Record(unrecorded);
}

std::vector<std::uint64_t> FaultPlan::FiredCounts(const fs::path& directory, const Json& items) {
  std::vector<std::uint64_t> counts(items.is_array() ? items.size() : 0, 0);
  const Json entries = ReadFiredRecord(directory);
  for (std::size_t i = 0; i < counts.size() && i < entries.size(); ++i) {
    const Json& entry = entries[i];
    if (entry.is_object() && entry.value("item", Json()) == items[i] &&
        entry.value("fired", Json()).is_number_unsigned()) {
      counts[i] = entry["fired"].get<std::uint64_t>();
    }
  }
  return counts;
}

bool FaultPlan::ForgetFired(const fs::path& directory, std::size_t index, bool keep,
                            std::string* error) {
  LockFileGuard lock(directory / kFiredRecordLock);
  Json entries = ReadFiredRecord(directory);
  if (index == kEveryItem) {
    entries = Json::array();
  } else if (index < entries.size()) {
    if (keep) {
      entries.erase(index);
    } else {
      entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index), entries.end());
    }
  } else {
    return true;
  }
  return WriteFiredRecord(directory, entries, error);
}

FaultPlan::ItemRef FaultPlan::Fire(const FaultKind& kind, FunctionRef<bool(const FaultItem&)> match,
                                   FunctionRef<std::string()> target, std::uint64_t event) {
  std::vector<ItemRef> fired;
  Evaluate(kind, match, target, event, false, &fired);
  return fired.empty() ? nullptr : fired.front();
}

std::vector<FaultPlan::ItemRef> FaultPlan::FireEach(const FaultKind& kind,
                                                    FunctionRef<bool(const FaultItem&)> match,
                                                    FunctionRef<std::string()> target) {
  std::vector<ItemRef> fired;
  Evaluate(kind, match, target, kNewEvent, true, &fired);
  return fired;
}

bool FaultPlan::Holds(const FaultKind& kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const Entry& entry) { return &entry.item->Kind() == &kind; });
}

bool FaultPlan::FailCall(std::string_view name, std::uint32_t* error) {
  const ItemRef item = Fire(
      kCallFault, [&](const FaultItem& candidate) { return candidate.String("name") == name; },
      [&] { return "call " + std::string(name); });
  if (item == nullptr) {
    return false;
  }
  if (error != nullptr) {
    *error = static_cast<std::uint32_t>(item->Unsigned("error", 31));
  }
  return true;
}

FaultPlan::Power FaultPlan::FlashOperation(FunctionRef<std::string()> target) {
  Firing firing;
  std::vector<Unrecorded> unrecorded;
  std::uint64_t index = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = operations_++;
    if (powerOff_) {
      return Power::kOff;
    }
  }
  if (OperationHandlerInstalled.load(std::memory_order_acquire)) {
    OperationHandler handler;
    {
      std::lock_guard<std::mutex> lock(HandlerMutex());
      handler = OperationHandlerSlot();
    }
    if (handler) {
      handler(index, target());
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (powerOff_) {
      return Power::kOff;  // another thread's operation was cut meanwhile
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      Entry& entry = entries_[i];
      if (&entry.item->Kind() == &kPowerCutFault && index >= entry.item->Unsigned("after")) {
        powerOff_ = true;
        firing = {i, &kPowerCutFault, ++entry.fired};
        unrecorded.push_back({i, entry.item->Text(), entry.fired - entry.recorded});
        entry.recorded = entry.fired;
        break;
      }
    }
  }
  if (firing.kind == nullptr) {
    return Power::kOn;
  }
  std::string what = target();
  Log(firing, what);
  Record(unrecorded);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cutTarget_ = std::move(what);
  }
  return Power::kFailing;
}

void FaultPlan::SetPowerLostHandler(PowerLostHandler handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  PowerLostHandlerSlot() = std::move(handler);
}

void FaultPlan::SetOperationHandler(OperationHandler handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  OperationHandlerInstalled.store(static_cast<bool>(handler), std::memory_order_release);
  OperationHandlerSlot() = std::move(handler);
}

void FaultPlan::SetFiredHandler(FiredHandler handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  FiredHandlerSlot() = std::move(handler);
}

void FaultPlan::PowerLost() {
  std::string what;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    what = cutTarget_;
  }
  // The handler may end the process: what fired before the cut is written first.
  FlushRecord();
  PowerLostHandler handler;
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    handler = PowerLostHandlerSlot();
  }
  if (handler) {
    handler(what);
  }
}

std::uint64_t FaultPlan::HeapLimit() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t limit = 0;
  for (const Entry& entry : entries_) {
    if (&entry.item->Kind() == &kHeapFault) {
      const std::uint64_t each = entry.item->Unsigned("limit");
      limit = limit == 0 ? each : std::min(limit, each);
    }
  }
  return limit;
}

void FaultPlan::HeapLimitReached(std::uint64_t bytes) {
  const std::uint64_t limit = HeapLimit();
  (void)Fire(
      kHeapFault, [&](const FaultItem& item) { return item.Unsigned("limit") == limit; },
      [&] { return "an allocation of " + std::to_string(bytes) + " bytes"; });
}

std::vector<FaultPlan::ItemRef> FaultPlan::Items(const FaultKind& kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ItemRef> result;
  for (const Entry& entry : entries_) {
    if (&entry.item->Kind() == &kind) {
      result.push_back(entry.item);
    }
  }
  return result;
}

std::vector<FaultPlan::ItemState> FaultPlan::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ItemState> result;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    result.push_back({i, entries_[i].item, entries_[i].fired});
  }
  return result;
}

}  // namespace sim
