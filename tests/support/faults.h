// Fault plan items for tests, as typed values: faults::NandProgramFail{.page = 64, .count = 1}
// converts to the item module.json holds ({"kind": "nand.program-fail", "page": 64, "count": 1}).
// A field left out is left out of the item too, so that the kind's own default applies. The
// kinds, their fields and their defaults are declared by the components (see
// sim/module/fault_plan.h); FaultPlan::Add refuses an item that does not hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/module/fault_plan.h"

namespace faults {

using sim::Json;

// "skip": events that pass first; "count": events that fail then (-1: every one).
using Skip = std::optional<std::int64_t>;
using Count = std::optional<std::int64_t>;
using Number = std::optional<std::uint64_t>;
using Text = std::optional<std::string>;

// ---------------------------------------------------------------------------------------------
// The engine's own kinds
// ---------------------------------------------------------------------------------------------
struct Call {  // a platform call fails
  std::string name;
  Skip skip;
  Count count;
  Number error;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct Heap {  // LocalAlloc hands out at most limit bytes
  std::uint64_t limit;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct PowerCut {  // the power fails during the flash operation after `after` of them
  std::uint64_t after;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};

// ---------------------------------------------------------------------------------------------
// NOR flash (flash byte offsets; chip 0 or 1 limits an item to one chip)
// ---------------------------------------------------------------------------------------------
struct NorEraseFail {
  std::uint64_t block;
  Number chip;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NorProgramFail {
  std::uint64_t offset;
  Number chip;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NorManufacturer {
  std::uint64_t code;
  Number chip;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NorNeverReady {
  std::uint64_t block;
  Number chip;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NorCfiByte {
  std::uint64_t address;
  std::uint64_t value;
  Number chip;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};

// ---------------------------------------------------------------------------------------------
// NAND flash (physical pages and blocks)
// ---------------------------------------------------------------------------------------------
struct NandBadBlock {
  std::uint64_t block;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NandWornBlock {
  std::uint64_t block;
  std::uint64_t erases;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NandEraseFail {
  std::uint64_t block;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NandProgramFail {
  std::uint64_t page;
  Text leaves;  // "every-other-byte" or "one-stuck-bit"
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NandBitFlip {
  std::uint64_t page;
  Number bits;
  std::optional<std::vector<std::uint32_t>> positions;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NandDisturb {  // a page programmed past the chip's limit reads 1 bits as 0
  Number page;
  Number bits;
  std::optional<std::vector<std::uint32_t>> positions;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NandNoRequest {
  Text request;  // "command" or "data"
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct NandId {
  std::uint64_t id;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};

// ---------------------------------------------------------------------------------------------
// CPLD
// ---------------------------------------------------------------------------------------------
struct CpldAbsent {
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct CpldIdCode {
  std::uint64_t value;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct CpldRowFail {
  std::uint64_t row;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct CpldStuckTdo {
  Number level;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};

// ---------------------------------------------------------------------------------------------
// Storage manager
// ---------------------------------------------------------------------------------------------
struct StorageStore {
  std::string fail;  // "dismount" or "format"
  Text device;
  Number error;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct StorageSector {
  std::string operation;  // "read" or "write"
  Number sector;
  Number error;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct StorageFile {
  std::string path;
  Number error;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};
struct StorageResult {
  std::string call;
  Number value;
  Skip skip;
  Count count;
  operator Json() const;  // NOLINT(google-explicit-constructor)
};

// One valid item of every kind the components declare, with most of its fields given; it holds
// on every preset (the smallest NAND chip has 1024 blocks of 64 pages).
std::vector<Json> OneItemOfEachKind();

}  // namespace faults
