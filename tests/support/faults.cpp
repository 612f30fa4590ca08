#include "tests/support/faults.h"

namespace faults {
namespace {

// Builds an item field by field; a field without a value is left out.
class Item {
 public:
  explicit Item(const char* kind) : json_({{"kind", kind}}) {}
  template <typename T>
  Item& Put(const char* name, const T& value) {
    json_[name] = value;
    return *this;
  }
  template <typename T>
  Item& Put(const char* name, const std::optional<T>& value) {
    if (value.has_value()) {
      json_[name] = *value;
    }
    return *this;
  }
  Item& Counters(const Skip& skip, const Count& count) {
    return Put("skip", skip).Put("count", count);
  }
  operator Json() const { return json_; }  // NOLINT(google-explicit-constructor)

 private:
  Json json_;
};

}  // namespace

Call::operator Json() const {
  return Item("call").Put("name", name).Counters(skip, count).Put("error", error);
}
Heap::operator Json() const { return Item("heap").Put("limit", limit); }
PowerCut::operator Json() const { return Item("power-cut").Put("after", after); }

NorEraseFail::operator Json() const {
  return Item("nor.erase-fail").Put("block", block).Put("chip", chip).Counters(skip, count);
}
NorProgramFail::operator Json() const {
  return Item("nor.program-fail").Put("offset", offset).Put("chip", chip).Counters(skip, count);
}
NorManufacturer::operator Json() const {
  return Item("nor.manufacturer").Put("code", code).Put("chip", chip).Counters(skip, count);
}
NorNeverReady::operator Json() const {
  return Item("nor.never-ready").Put("block", block).Put("chip", chip).Counters(skip, count);
}
NorCfiByte::operator Json() const {
  return Item("nor.cfi-byte")
      .Put("address", address)
      .Put("value", value)
      .Put("chip", chip)
      .Counters(skip, count);
}

NandBadBlock::operator Json() const { return Item("nand.bad-block").Put("block", block); }
NandWornBlock::operator Json() const {
  return Item("nand.worn-block").Put("block", block).Put("erases", erases);
}
NandEraseFail::operator Json() const {
  return Item("nand.erase-fail").Put("block", block).Counters(skip, count);
}
NandProgramFail::operator Json() const {
  return Item("nand.program-fail").Put("page", page).Put("leaves", leaves).Counters(skip, count);
}
NandDisturb::operator Json() const {
  return Item("nand.disturb")
      .Put("page", page)
      .Put("bits", bits)
      .Put("positions", positions)
      .Counters(skip, count);
}
NandBitFlip::operator Json() const {
  return Item("nand.bit-flip")
      .Put("page", page)
      .Put("bits", bits)
      .Put("positions", positions)
      .Counters(skip, count);
}
NandNoRequest::operator Json() const {
  return Item("nand.no-request").Put("request", request).Counters(skip, count);
}
NandId::operator Json() const { return Item("nand.id").Put("id", id); }

CpldAbsent::operator Json() const { return Item("cpld.absent"); }
CpldIdCode::operator Json() const { return Item("cpld.idcode").Put("value", value); }
CpldRowFail::operator Json() const {
  return Item("cpld.row-fail").Put("row", row).Counters(skip, count);
}
CpldStuckTdo::operator Json() const { return Item("cpld.stuck-tdo").Put("level", level); }

StorageStore::operator Json() const {
  return Item("storage.store")
      .Put("fail", fail)
      .Put("device", device)
      .Put("error", error)
      .Counters(skip, count);
}
StorageSector::operator Json() const {
  return Item("storage.sector")
      .Put("operation", operation)
      .Put("sector", sector)
      .Put("error", error)
      .Counters(skip, count);
}
StorageFile::operator Json() const {
  return Item("storage.file").Put("path", path).Put("error", error).Counters(skip, count);
}
StorageResult::operator Json() const {
  return Item("storage.result").Put("call", call).Put("value", value).Counters(skip, count);
}

std::vector<Json> OneItemOfEachKind() {
  return {
      Call{.name = "VirtualCopy", .skip = 1, .count = 2, .error = 5},
      Heap{.limit = 65536},
      PowerCut{.after = 3},
      NorEraseFail{.block = 0x40000, .chip = 1, .count = 1},
      NorProgramFail{.offset = 0x30002},
      NorManufacturer{.code = 0x01},
      NorNeverReady{.block = 0x40000},
      NorCfiByte{.address = 0x27, .value = 0xFF},
      NandBadBlock{.block = 1023},
      NandWornBlock{.block = 7, .erases = 2},
      NandEraseFail{.block = 7, .skip = 1},
      NandProgramFail{.page = 64 * 1024 - 1, .leaves = "one-stuck-bit", .count = -1},
      NandBitFlip{.page = 64, .positions = std::vector<std::uint32_t>{0, 16383}},
      NandDisturb{.bits = 3},
      NandNoRequest{.request = "data"},
      NandId{.id = 0x75EC},
      CpldAbsent{},
      CpldIdCode{.value = 0x06E5E093},
      CpldRowFail{.row = 97},
      CpldStuckTdo{.level = 1},
      StorageStore{.fail = "format", .device = "DSK1:"},
      StorageSector{.operation = "write", .sector = 5, .error = 29},
      StorageFile{.path = "\\Flash Disk\\*.txt"},
      StorageResult{.call = "DismountStore", .value = 2},
  };
}

}  // namespace faults
