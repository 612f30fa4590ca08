// NOR flash driver for the PXA27x modules: two 16-bit chips of the Intel command set side
// by side on the 32-bit bus at physical 0. Every 32-bit word holds a half from each chip, and
// every command goes to both chips as the same 16-bit value in both halves.
//
// The driver maps the whole flash once, reads it by copying from the mapping, and erases and
// programs it with the chips' command sequences and status polling. Every operation leaves the
// chips in read-array mode, so that reads can copy straight from the mapping. Callers hold
// "OnModuleFlash" (FlashLock) around every group of operations.
#pragma once

#include "flash/flash_ops.h"
#include "platform/io.h"
#include "platform/types.h"

// ---------------------------------------------------------------------------------------------
// Command words (written to the 32-bit word at an offset; both halves alike)
// ---------------------------------------------------------------------------------------------
constexpr DWORD NOR_READ_ARRAY = 0x00FF00FF;       // back to normal reading
constexpr DWORD NOR_READ_IDENTIFIER = 0x00900090;  // maker, device code, block lock status
constexpr DWORD NOR_CFI_QUERY = 0x00980098;        // common flash interface query table
constexpr DWORD NOR_CLEAR_STATUS = 0x00500050;     // clears the sticky error bits
constexpr DWORD NOR_LOCK_SETUP = 0x00600060;       // then NOR_CONFIRM: unlock the block
constexpr DWORD NOR_ERASE_SETUP = 0x00200020;      // then NOR_CONFIRM: erase the block
constexpr DWORD NOR_WORD_PROGRAM = 0x00400040;     // then the data word
constexpr DWORD NOR_WRITE_TO_BUFFER = 0x00E800E8;  // then count - 1, the words, NOR_CONFIRM
constexpr DWORD NOR_CONFIRM = 0x00D000D0;          // confirms erase, unlock, buffered program

// ---------------------------------------------------------------------------------------------
// Status and identifier words
// ---------------------------------------------------------------------------------------------
constexpr DWORD NOR_STATUS_READY = 0x00800080;  // SR.7 of both chips: write state machine ready
// SR.5 erase error, SR.4 program error, SR.3 programming voltage error, SR.1 block locked.
// SR.4 belongs here: a failed program sets only it.
constexpr DWORD NOR_STATUS_ERRORS = 0x003A003A;
constexpr DWORD NOR_MANUFACTURER = 0x00890089;      // identifier offset 0: the maker of both chips
constexpr DWORD NOR_LOCK_STATUS_BITS = 0x00010001;  // identifier block + 8, bit 0: locked

// Identifier and CFI mode offsets (word addresses times four on the 32-bit bus).
constexpr DWORD NOR_ID_MANUFACTURER = 0x0;   // both chips' maker codes
constexpr DWORD NOR_ID_DEVICE = 0x4;         // low 16 bits: chip 0's device code
constexpr DWORD NOR_ID_LOCK_STATUS = 0x8;    // from a block's start
constexpr DWORD NOR_CFI_DEVICE_SIZE = 0x9C;  // query address 0x27: one chip is 2^n bytes

// ---------------------------------------------------------------------------------------------
// Geometry (both chips together)
// ---------------------------------------------------------------------------------------------
// The flash chip select decodes 64 MiB; larger chips are used up to that.
constexpr DWORD kNorMaximumSize = 0x4000000;
// Below this offset parameter chips have 64 KiB blocks (32 KiB parameter blocks in each chip).
constexpr DWORD kNorParameterArea = 0x40000;
constexpr DWORD kNorParameterBlockSize = 0x10000;
constexpr DWORD kNorMainBlockSize = 0x40000;  // 128 KiB main blocks in each chip
// Words per buffered program: 16 words are 32 bytes per chip, the smallest write buffer of the
// supported chips, and a 64-byte aligned chunk never crosses a buffer window.
constexpr DWORD kNorBufferWords = 16;

// Time-outs in milliseconds (a block erase takes about a second, a buffer about half a
// millisecond; the limits leave room for worn chips).
constexpr DWORD kNorEraseTimeoutMs = 10000;
constexpr DWORD kNorErasePollMs = 100;
constexpr DWORD kNorWordTimeoutMs = 1000;
constexpr DWORD kNorBufferTimeoutMs = 2000;
// Unlocking: at once on chips with volatile lock bits; chips that keep their lock bits clear
// every block's bit with one unlock and stay busy for up to 0.7 s.
constexpr DWORD kNorUnlockTimeoutMs = 2000;
constexpr DWORD kNorUnlockPollMs = 10;

// The flash, mapped uncached; offset 0 is physical address 0.
extern IoPointer norBase;

// Chip class of a device code: 1 and 2 uniform-block chips, 3 and 5 chips with parameter
// blocks at the bottom, 0 any other chip (treated as uniform; not an error).
[[nodiscard]] int NorChipClass(DWORD deviceCode);

// ---------------------------------------------------------------------------------------------
// Internal steps (the caller holds the flash lock; offsets are block starts)
// ---------------------------------------------------------------------------------------------
// Unlocks the block at offset if its lock bit is set, and waits until the chips have done so. 1
// when it ends unlocked; 0 when it is still locked, the chips report an error or the unlock
// outlasts kNorUnlockTimeoutMs. Leaves read-array mode (and clears the status after an error).
[[nodiscard]] int NorUnlockBlock(DWORD offset);
// 1 when every 32-bit word of [offset, offset + length) reads 0xFFFFFFFF (a length below 4
// counts as blank), else 0.
[[nodiscard]] int NorIsBlank(DWORD offset, DWORD length);
// Unlocks and erases the block at offset unless it is already blank. 1 on success; 0 when the
// block stays locked, the chips report an error or the erase outlasts kNorEraseTimeoutMs.
// Leaves read-array mode (and clears the status after an error).
[[nodiscard]] int NorEraseBlock(DWORD offset);

// ---------------------------------------------------------------------------------------------
// The FlashOps slots (contracts in flash_ops.h)
// ---------------------------------------------------------------------------------------------
// Erases every block touched by [start, start + length). 0 beyond FlashSize, on a failed block
// or when the progress hook asks to stop; a length of 0 succeeds without touching anything.
[[nodiscard]] int NorErase(DWORD start, DWORD length);
// Programs one word at a 4-byte aligned offset. 0 when unaligned, beyond FlashSize, on a chip
// error or after kNorWordTimeoutMs.
[[nodiscard]] int NorWriteWord(DWORD offset, DWORD value);
// Programs exactly length bytes at offset in buffered chunks (bytes of a partial word around
// the range are programmed as 0xFF, which leaves them as they are). 0 beyond FlashSize, on a
// chip error or when a chunk outlasts kNorBufferTimeoutMs.
[[nodiscard]] int NorWrite(const void* buffer, DWORD offset, DWORD length);
// The word at a 4-byte aligned offset; 0 when unaligned or beyond FlashSize.
[[nodiscard]] DWORD NorReadWord(DWORD offset);
// Copies length bytes from offset. 0 beyond FlashSize.
[[nodiscard]] int NorRead(void* buffer, DWORD offset, DWORD length);
// Erase-block size at offset: 64 KiB in the parameter area of class 3 and 5 chips, else 256 KiB.
[[nodiscard]] DWORD NorBlockSize(DWORD offset);
// NOR has no error correction: no effect, returns 0.
[[nodiscard]] int NorSetEcc(int enable);

// --- testing calls ---
// Forgets the mapping (the module it belonged to is gone).
void NorResetForTesting();
