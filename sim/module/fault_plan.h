// The module's fault plan and the one engine that decides when its items fire.
//
// module.json "faults": {"seed": N, "items": [ {"kind": "...", ...}, ... ]}. Every component
// declares the kinds of item it understands (Component::FaultKinds), each with its fields; the
// plan is checked against those declarations when the module is loaded, so that an unknown kind,
// a missing field, a field of the wrong type or out of range, and a field the kind does not know
// are refused with a message that names the item and the field.
//
// A model never counts an item itself. It asks the engine at each event an item could hit (an
// erase of a block, a program of a page, a platform call) with Fire, and the engine answers with
// the item that fires, after its counters:
//  - kinds of events take "skip" (events that pass first) and "count" (events that fail then;
//    -1: every one); a kind declares the count of an item that gives none;
//  - kinds of lasting conditions (a bad block, another identifier) take neither and fire at every
//    event they match;
//  - "power-cut" items count the flash operations (block erases and page or word programs) of
//    the process: the operation after "after" of them is cut short, and nothing after it reaches
//    the array until a module reset brings the power back.
// Counters belong to the process that attached the module, as the plan's items do once loaded.
// Every firing is written to the module's debug log (ram/debug.log) as one line: kind, item
// index, what it hit and the module time; each item keeps how often it fired in this process.
// The module also keeps how often each item fired over every process (the fired record,
// faults.fired.json beside module.json): ram/ and its log go with a module reset, the record
// stays until the item is cleared.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace sim {

using Json = nlohmann::json;
class ConfigReader;
class Machine;

// ---------------------------------------------------------------------------------------------
// Declarations: the kinds of item and their fields
// ---------------------------------------------------------------------------------------------
enum class FaultFieldType : std::uint8_t {
  kUnsigned,  // a number, or text "0x..." or decimal, from 0 to maximum
  kCount,     // a whole number from -1 to maximum (-1: without end)
  kText,      // any text
  kChoice,    // one of choices
  kBitList,   // an array of numbers from 0 to maximum
};

struct FaultField {
  std::string_view name;
  FaultFieldType type = FaultFieldType::kUnsigned;
  bool required = false;
  std::uint64_t maximum = 0xFFFFFFFF;  // kUnsigned, kCount and each number of kBitList
  std::string_view help;
  std::span<const std::string_view> choices = {};  // kChoice
  bool hex = false;  // a kUnsigned address, offset or identifier: shown as 0x... hex
};

struct FaultKind {
  std::string_view name;
  std::string_view help;
  std::span<const FaultField> fields;
  // Kinds of events take "skip" and "count" (defaultCount when the item gives none); lasting
  // conditions fire at every event they match.
  bool counted = false;
  std::int64_t defaultCount = 1;
};

// The fields an item of kind may have: its own, then "skip" and "count" for kinds of events.
std::vector<FaultField> FaultKindFields(const FaultKind& kind);

// Kinds that the engine itself serves: failing platform calls, the heap cap of LocalAlloc and
// the power cut (which the flash models declare as theirs too).
inline constexpr FaultField kCallFields[] = {
    {.name = "name",
     .type = FaultFieldType::kText,
     .required = true,
     .help = "the platform call, e.g. VirtualCopy, KernelIoControl/0x01012010, "
             "GetProcAddressW/Name"},
    {.name = "error", .help = "the error code the call reports (31 unless given)"},
};
inline constexpr FaultKind kCallFault{.name = "call",
                                      .help = "a platform call fails with an error code",
                                      .fields = kCallFields,
                                      .counted = true,
                                      .defaultCount = 1};

inline constexpr FaultField kHeapFields[] = {
    {.name = "limit", .required = true, .help = "bytes of heap LocalAlloc may hand out at most"},
};
inline constexpr FaultKind kHeapFault{.name = "heap",
                                      .help = "the free heap is capped: LocalAlloc fails beyond it",
                                      .fields = kHeapFields};

inline constexpr FaultField kPowerCutFields[] = {
    {.name = "after",
     .required = true,
     .help = "flash operations (erases, programs) of the process that complete first"},
};
inline constexpr FaultKind kPowerCutFault{
    .name = "power-cut",
    .help = "the power fails during a flash erase or program; a module reset brings it back",
    .fields = kPowerCutFields};

// ---------------------------------------------------------------------------------------------
// One item of the plan, checked against its kind
// ---------------------------------------------------------------------------------------------
class FaultItem {
 public:
  // Checks an item; null with the field at fault ("kind" for the kind itself, "" for the item)
  // and a message when it does not hold.
  static std::shared_ptr<const FaultItem> Parse(const Json& item, std::string* field,
                                                std::string* message);

  [[nodiscard]] const FaultKind& Kind() const { return *kind_; }
  [[nodiscard]] const Json& Text() const { return json_; }
  [[nodiscard]] bool Has(std::string_view field) const;
  // The value of a field (fallback when the item does not give it).
  [[nodiscard]] std::uint64_t Unsigned(std::string_view field, std::uint64_t fallback = 0) const;
  [[nodiscard]] std::int64_t Signed(std::string_view field, std::int64_t fallback) const;
  [[nodiscard]] std::string_view String(std::string_view field,
                                        std::string_view fallback = {}) const;
  [[nodiscard]] std::span<const std::uint32_t> Numbers(std::string_view field) const;

 private:
  struct Value {
    bool present = false;
    std::int64_t number = 0;  // kUnsigned (up to 2^63 - 1), kCount
    std::uint64_t unsignedNumber = 0;
    std::string text;
    std::vector<std::uint32_t> numbers;
  };
  const Value* Find(std::string_view field) const;

  const FaultKind* kind_ = nullptr;
  Json json_;
  std::vector<FaultField> fields_;
  std::vector<Value> values_;  // one per field
};

// Small non-owning reference to a callable, for the engine's callbacks.
template <typename Signature>
class FunctionRef;
template <typename Result, typename... Arguments>
class FunctionRef<Result(Arguments...)> {
 public:
  template <typename Callable>
    requires(!std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef>)
  FunctionRef(Callable&& callable)  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(&callable))),
        call_([](void* object, Arguments... arguments) -> Result {
          return (*static_cast<std::remove_reference_t<Callable>*>(object))(
              std::forward<Arguments>(arguments)...);
        }) {}
  Result operator()(Arguments... arguments) const {
    return call_(object_, std::forward<Arguments>(arguments)...);
  }

 private:
  void* object_;
  Result (*call_)(void*, Arguments...);
};

// ---------------------------------------------------------------------------------------------
// The plan and its engine
// ---------------------------------------------------------------------------------------------
class FaultPlan {
 public:
  using ItemRef = std::shared_ptr<const FaultItem>;
  // Fire's event for a check that stands alone; see Fire.
  static constexpr std::uint64_t kNewEvent = 0;
  // Lines of the debug log one item writes in a process before it only counts its firings.
  static constexpr std::uint64_t kLoggedFirings = 20;

  // Every kind the engine and the registered components declare, by name; null when unknown.
  static std::span<const FaultKind* const> Kinds();
  static const FaultKind* FindKind(std::string_view name);
  // Checks module.json "faults" (seed and items); errors go to the reader and name the item by
  // index and kind and the field ("faults.items[3].page").
  static void Check(ConfigReader& reader);
  // The items of module.json that hold, with their index (for checks a component adds, such as
  // a block beyond its chip).
  static std::vector<std::pair<std::size_t, ItemRef>> CheckedItems(const ConfigReader& reader);
  // The path and the start of the message for an error about a field of item index.
  static std::string FieldPath(std::size_t index, std::string_view field);
  static std::string ItemLabel(std::size_t index, const FaultKind& kind);

  FaultPlan() = default;
  FaultPlan(const FaultPlan&) = delete;
  FaultPlan& operator=(const FaultPlan&) = delete;

  // Where firings are logged and timed (none: not logged).
  void Bind(Machine* machine) { machine_ = machine; }
  // Loads module.json "faults" (already checked by Check; items that do not hold are left out).
  void Load(const Json& faults);
  // Adds an item at the end of the plan; false with a message naming the field when it does not
  // hold.
  [[nodiscard]] bool Add(const Json& item, std::string* error);

  // --- the engine ---
  // The first item of kind that match accepts and whose counters let it fail this event; null
  // when none fires. target says what the item hit ("page 64"); it is built only for a firing.
  // A device made of parts (two NOR chips side by side) passes the same event for every part
  // it asks about one operation: an item answers once per event, and fires and counts once.
  // match runs under the plan's lock and must not call the plan.
  ItemRef Fire(const FaultKind& kind, FunctionRef<bool(const FaultItem&)> match,
               FunctionRef<std::string()> target, std::uint64_t event = kNewEvent);
  // Every item of kind that match accepts and that fires at this event (each counts).
  std::vector<ItemRef> FireEach(const FaultKind& kind, FunctionRef<bool(const FaultItem&)> match,
                                FunctionRef<std::string()> target);
  // Whether the plan holds an item of kind (to skip a costly check).
  [[nodiscard]] bool Holds(const FaultKind& kind) const;
  // A platform call: true when a "call" item makes it fail, with the item's error in *error.
  bool FailCall(std::string_view name, std::uint32_t* error = nullptr);
  enum class Power : std::uint8_t {
    kOn,       // the operation completes
    kFailing,  // the power fails during this operation
    kOff,      // the power failed before: nothing reaches the array
  };
  // Counts one flash operation (block erase, page or word program) against the power cut.
  Power FlashOperation(FunctionRef<std::string()> target);
  // The model has left the array as the cut operation leaves it (call after kFailing): the
  // power-lost handler runs. A host executable ends the process there, as the module's
  // processor stops with its power; without a handler the process goes on with the flash
  // switched off (tests look at what the cut left).
  void PowerLost();
  // What runs when the power is lost; target names the operation that was cut.
  using PowerLostHandler = std::function<void(const std::string& target)>;
  static void SetPowerLostHandler(PowerLostHandler handler);
  // What runs with every line a firing writes to the debug log (it must not call the plan).
  using FiredHandler = std::function<void(const std::string& line)>;
  static void SetFiredHandler(FiredHandler handler);
  // What runs at every flash operation of the process, before the power cut decides on it:
  // index counts from 0 as "power-cut" items' "after" does, target names the operation ("erase
  // of block 12"). A tool that maps where an update's operations fall installs it; it must not
  // call the plan. Null removes it.
  using OperationHandler = std::function<void(std::uint64_t index, const std::string& target)>;
  static void SetOperationHandler(OperationHandler handler);
  // Writes the firings not yet in the module's fired record. The first kLoggedFirings + 1 of
  // an item go there as they happen; later ones in bulk, with the first firing at least
  // kRecordInterval after the record was last written, and when the module is detached or
  // loses power (a killed process loses at most the firings of its last interval).
  void FlushRecord();
  static constexpr std::chrono::milliseconds kRecordInterval{100};
  // The smallest "heap" limit of the plan; 0 when it gives none.
  [[nodiscard]] std::uint64_t HeapLimit() const;
  // The heap limit refused an allocation: logged and counted as a firing of its item.
  void HeapLimitReached(std::uint64_t bytes);

  // Items of one kind, in plan order.
  [[nodiscard]] std::vector<ItemRef> Items(const FaultKind& kind) const;
  struct ItemState {
    std::size_t index;
    ItemRef item;
    std::uint64_t fired;  // times it fired in this process
  };
  // Every item with its firings in this process.
  [[nodiscard]] std::vector<ItemState> State() const;
  // Changes whenever items are added or cleared, so that a model can cache what it derives.
  [[nodiscard]] std::uint64_t Generation() const {
    return generation_.load(std::memory_order_acquire);
  }
  std::mt19937& Random() { return random_; }

  // --- the fired record of a module directory ---
  // The record's file, beside module.json: {"items": [{"item": {...}, "fired": N}, ...]}, one
  // entry per index of the plan; an entry counts only while the plan holds the same item there.
  static constexpr const char* kFiredRecordFile = "faults.fired.json";
  // How often each of items (module.json "faults.items") fired, by index.
  static std::vector<std::uint64_t> FiredCounts(const std::filesystem::path& directory,
                                                const Json& items);
  // Forgets the firings of item index (later entries move down one, as the items do), of every
  // item from index on (keep: false, used before an item is added at index), or of every item
  // (index kEveryItem).
  static constexpr std::size_t kEveryItem = static_cast<std::size_t>(-1);
  static bool ForgetFired(const std::filesystem::path& directory, std::size_t index, bool keep,
                          std::string* error);

  // --- testing calls ---
  // Adds an item; one that does not hold ends the process with the message (a test's mistake).
  void Add(const Json& item);
  void Clear();

 private:
  struct Entry {
    ItemRef item;
    std::int64_t skip = 0;
    std::int64_t count = -1;
    std::uint64_t fired = 0;
    std::uint64_t recorded = 0;  // of fired, the firings written to the fired record
    std::uint64_t lastEvent = kNewEvent;
    bool lastFired = false;
  };
  struct Firing {
    std::size_t index = 0;
    const FaultKind* kind = nullptr;
    std::uint64_t fired = 0;
  };
  struct Unrecorded {
    std::size_t index = 0;
    Json item;
    std::uint64_t fired = 0;
  };
  static bool TakeCounters(Entry& entry);
  // Adds firings to the module's fired record (under its lock, for every process).
  void Record(const std::vector<Unrecorded>& firings);
  // Fire and FireEach: the firing items go to *fired (the first only unless every).
  void Evaluate(const FaultKind& kind, FunctionRef<bool(const FaultItem&)> match,
                FunctionRef<std::string()> target, std::uint64_t event, bool every,
                std::vector<ItemRef>* fired);
  void Log(const Firing& firing, const std::string& target);
  // Moves every entry's firings not yet on record to *unrecorded (under mutex_).
  void TakeUnrecorded(std::vector<Unrecorded>* unrecorded);

  Machine* machine_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  // When this process last wrote firings to the record (under mutex_).
  std::chrono::steady_clock::time_point recordedAt_;
  std::uint64_t operations_ = 0;  // flash operations of this process
  bool powerOff_ = false;
  std::string cutTarget_;  // the operation the power cut hit
  std::mt19937 random_{1};
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace sim
