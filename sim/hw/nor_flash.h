// The module's NOR flash: two 16-bit chips of the Intel command set side by side on the 32-bit
// bus at physical 0. Every 32-bit word holds a 16-bit half from each chip (chip 0 in the low
// half); each chip decodes its own half of every write.
//
// Stricter than the silicon, so that a driver mistake fails loudly:
//  - a command whose two halves differ, a data write outside a command, a buffered program that
//    crosses its write-buffer window, writes a word twice or is not confirmed after the count it
//    announced is a command sequence error (status bits 4 and 5) and is recorded;
//  - programming only clears bits; a program that would need a 0 bit back at 1 sets the program
//    error bit (the bits are still cleared, as on the chip);
//  - program or erase of a locked block sets the block-locked and program/erase error bits;
//  - lock bits follow the chip's family: the chips with volatile lock bits (device codes 0x88xx
//    and 0x89xx) power up with every block locked and lock or unlock a block at once; the
//    0x0017..0x0019 chips keep their lock bits across power cycles, set one block's bit in 64 us
//    and clear every block's bit with one unlock command, busy for 0.5 s meanwhile;
//  - erase and program keep the status not ready until the virtual clock has passed the chip's
//    own typical time from its CFI timing bytes; each bus access costs virtual time too; a read
//    of array data while a chip is busy is recorded (the chip answers with its status).
//
// module.json "flash" of a NOR module:
//   {"kind": "nor", "size": "0x2000000", "deviceCode": "0x881B", "storage": "complemented"}
//   size         bytes of both chips together; each chip holds half
//   deviceCode   what each chip answers in identifier mode. A code of the table below gives the
//                chip's geometry and timings; any other code takes "layout" ("uniform" or
//                "bottom-parameter", default uniform) and "bufferBytes" (default 32)
//   storage      "complemented": flash.img holds the complement of every flash byte, so that
//                erased flash (all 0xFF) is a hole and a fresh module's image stays sparse
//   lockedBelow  chips that keep their lock bits: the blocks that start below this offset were
//                locked when the module was made (until the chips' bits first change; from
//                then on nor-locks.json in the module directory holds them). Chips with
//                volatile lock bits power up with every block locked and do not use it
//
// The chips' volatile state (command mode, status, a running operation, lock bits) lives in
// ram/nor-chips, shared by every process on the module and lost at a module reset, as the chips
// lose it at a power cycle. Lock bits that the chips keep across power cycles are written to
// nor-locks.json whenever they change: {"chip0": [OFFSET, ...], "chip1": [...]}, the flash
// offsets of the locked blocks. The chips serve one bus master at a time: callers hold the module's
// "OnModuleFlash" mutex around every group of accesses, as on the module.
//
// Fault plan items (offsets are flash byte offsets; "chip" 0 or 1 limits an item to one chip):
//   {"kind": "nor.erase-fail", "block": OFFSET}      erasing the block holding OFFSET fails
//   {"kind": "nor.program-fail", "offset": OFFSET}   programming the half-word holding OFFSET
//                                                    fails (in the chip that owns the byte)
//   {"kind": "nor.manufacturer", "code": CODE}       identifier mode answers another maker
//   {"kind": "nor.never-ready", "block": OFFSET}     an erase or program there never completes
//   {"kind": "nor.cfi-byte", "address": A, "value": V}  the CFI query answers V at address A
//   {"kind": "power-cut", "after": N}                the power fails during the (N+1)th erase or
//                                                    program of this process (OS driver's too):
//                                                    it and everything after it leave the array
//                                                    as it was, while the chips go on answering
//                                                    as if they worked. A module reset brings
//                                                    the power back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/base/files.h"

namespace sim {

enum class NorLayout : std::uint8_t {
  kUniform,          // 128 KiB blocks everywhere
  kBottomParameter,  // four 32 KiB parameter blocks at the bottom, 128 KiB blocks above
};

// How a chip keeps its block lock bits.
enum class NorLockBits : std::uint8_t {
  kVolatile,     // every block locked at power-up; lock and unlock act at once, block by block
  kNonVolatile,  // kept across power cycles; one unlock clears every block's bit
};

// One chip of the device table. Sizes are those of one chip.
struct NorChipType {
  std::uint16_t deviceCode;
  std::uint32_t chipBytes;
  NorLayout layout;
  std::uint8_t bufferBytesLog2;  // CFI 0x2A: write buffer of 2^n bytes
  std::uint8_t interfaceCode;    // CFI 0x28: 1 = x16 only, 2 = x8/x16
  std::uint8_t vccMinimum;       // CFI 0x1B, BCD volts
  std::uint8_t vccMaximum;       // CFI 0x1C
  // CFI 0x1F..0x26: typical word program 2^n us, typical buffer program 2^n us, typical block
  // erase 2^n ms, typical chip erase (0: none), and the maxima as 2^n times the typical.
  std::array<std::uint8_t, 8> timing;
  NorLockBits lockBits = NorLockBits::kVolatile;
};

// The chips the model knows by device code.
std::span<const NorChipType> NorChipTypes();
const NorChipType* FindNorChipType(std::uint16_t deviceCode);

// What a chip does with the next read or write.
enum class NorMode : std::uint8_t {
  kReadArray,
  kReadIdentifier,
  kCfiQuery,
  kReadStatus,
  kEraseSetup,        // 0x20 taken, confirm expected
  kLockSetup,         // 0x60 taken, lock/unlock confirm expected
  kWordProgramSetup,  // 0x40 taken, data word expected
  kBufferCount,       // 0xE8 taken, word count expected
  kBufferData,        // data words expected
  kBufferConfirm,     // all data words in, confirm expected
};
const char* NorModeName(NorMode mode);

// Counts of this process since it attached.
struct NorStatistics {
  std::uint64_t accesses = 0;     // 32-bit bus accesses (a block read counts its words)
  std::uint64_t blockErases = 0;  // erase operations started (both chips count once)
  std::uint64_t wordPrograms = 0;
  std::uint64_t bufferPrograms = 0;
  std::uint64_t busyNanoseconds = 0;  // the chips' own busy time of the operations started
  // Time on the bus: one bus access per word read or written, through the register window or
  // the OS's driver (a poll's wait beyond its access is busy time, not bus time).
  std::uint64_t busNanoseconds = 0;
  std::uint64_t protocolErrors = 0;
};

// One operation a chip started (recorded while NorRecordOperations is on).
struct NorOperation {
  enum class Kind { kErase, kWordProgram, kBufferProgram, kUnlock, kLock };
  Kind kind;
  int chip;
  std::uint32_t offset;  // flash byte offset of the block or of the first word
  std::uint32_t words;   // 16-bit words programmed, or the block's words for an erase
};

// ---------------------------------------------------------------------------------------------
// Testing and tooling calls: direct access to the attached module's NOR contents and state,
// past the chips' command interface. They fault when the module has no NOR flash.
// ---------------------------------------------------------------------------------------------
// Copies flash bytes out; false when the range is outside the flash.
bool NorBackdoorRead(std::uint32_t offset, void* destination, std::size_t bytes);
// Sets flash bytes to exactly the given values (as a programmer clamped to the board would).
bool NorBackdoorWrite(std::uint32_t offset, const void* source, std::size_t bytes);
// The stretches of the flash (byte offsets) that may hold programmed bytes: every byte outside
// them is erased. Found from the holes of flash.img, without reading the flash.
std::vector<FileExtent> NorDataExtents();
// Sets a range to the erased state (0xFF).
bool NorBackdoorErase(std::uint32_t offset, std::size_t bytes);
std::uint32_t NorSize();
std::array<NorMode, 2> NorChipModes();
// Each chip's status register (bit 7 ready).
std::array<std::uint8_t, 2> NorChipStatus();
bool NorBlockLocked(std::uint32_t offset, int chip);
std::vector<std::string> NorProtocolErrors();
void NorClearProtocolErrors();
NorStatistics NorStats();
void NorRecordOperations(bool on);
std::vector<NorOperation> NorOperations();

}  // namespace sim
