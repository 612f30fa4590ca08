// The processor's data flash controller, driven by programmed I/O.
//
// On the NAND-flash processors the flash is a large-page NAND chip behind the data flash
// controller at physical 0x43100000. This layer identifies the chip, sets the controller's
// configuration and timing from a built-in table of chips, and offers the primitives that the
// NAND driver builds on: read a page, program a page, erase a block, read the identifier and
// reset. It works on physical page numbers and knows nothing of bad blocks.
//
// Every primitive starts the controller (ND_RUN); the controller stays configured for this
// program until NandRelease hands it back in the configuration it had before. Callers hold
// "OnModuleFlash" around every use, as the OS flash driver shares the controller.
#pragma once

#include "platform/io.h"
#include "platform/types.h"

// ---------------------------------------------------------------------------------------------
// Registers (byte offsets from 0x43100000) and bits
// ---------------------------------------------------------------------------------------------
constexpr DWORD kNandControllerPhysical = 0x43100000;  // data flash controller registers

constexpr DWORD NDCR = 0x00;      // control: configuration, ND_RUN, interrupt masks
constexpr DWORD NDTR0CS0 = 0x04;  // timing 0: tCH, tCS, tWH, tWP, tRH, tRP
constexpr DWORD NDTR1CS0 = 0x0C;  // timing 1: tR, tWHR, tAR
constexpr DWORD NDSR = 0x14;      // status; a 1 written clears the bit
constexpr DWORD NDDB = 0x40;      // data buffer; each access moves 4 bytes
constexpr DWORD NDCB0 = 0x48;     // command buffer: command word, address 1, address 2

constexpr DWORD NDCR_SPARE_EN = 0x80000000;         // spare area moves through NDDB
constexpr DWORD NDCR_ECC_EN = 0x40000000;           // hardware error correction
constexpr DWORD NDCR_DMA_EN = 0x20000000;           // data moves by DMA (never here)
constexpr DWORD NDCR_ND_RUN = 0x10000000;           // starts a command; clears when it ends
constexpr DWORD NDCR_DWIDTH_C = 0x08000000;         // 16-bit controller data width (start-up)
constexpr DWORD NDCR_PAGE_SZ_2048 = 0x01000000;     // 2048-byte pages (else 512)
constexpr DWORD NDCR_NCSX = 0x00800000;             // chip select stays low between cycles
constexpr DWORD NDCR_RD_ID_CNT_2 = 0x00020000;      // two identifier bytes latched
constexpr DWORD NDCR_RD_ID_CNT_4 = 0x00040000;      // four identifier bytes latched
constexpr DWORD NDCR_RD_ID_CNT_5 = 0x00050000;      // five identifier bytes latched
constexpr DWORD NDCR_RA_START = 0x00008000;         // row address from the third cycle
constexpr DWORD NDCR_PG_PER_BLK_64 = 0x00004000;    // 64 pages per block (else 32)
constexpr DWORD NDCR_ND_ARB_EN = 0x00001000;        // arbiter with the memory controller
constexpr DWORD NDCR_INTERRUPT_MASKS = 0x00000FFF;  // every interrupt masked
constexpr DWORD kNdcrReadIdMask = 0x0087DFFF;       // PXA310 READ ID: 512-byte, no ECC/spare

constexpr DWORD NDSR_WRCMDREQ = 0x001;   // write command request
constexpr DWORD NDSR_RDDREQ = 0x002;     // read data request
constexpr DWORD NDSR_WRDREQ = 0x004;     // write data request
constexpr DWORD NDSR_CORERR = 0x008;     // corrected bit error
constexpr DWORD NDSR_UNCERR = 0x010;     // uncorrectable error
constexpr DWORD NDSR_CS1_BBD = 0x020;    // bad block detected, chip select 1
constexpr DWORD NDSR_CS0_BBD = 0x040;    // bad block detected, chip select 0
constexpr DWORD NDSR_CS0_CMDD = 0x100;   // command done, chip select 0
constexpr DWORD NDSR_RDY = 0x800;        // the chip is ready
constexpr DWORD NDSR_FINISHED = 0x1F0;   // any end of a command: errors, bad block, done
constexpr DWORD NDSR_CLEAR_ALL = 0xFFF;  // writes clear bits 0 to 11

// Command word (first NDCB0 write): command bytes in bits 0-15, then these fields.
constexpr DWORD NDCB0_ADDR_CYC_SHIFT = 16;   // bits 16-18: address cycles
constexpr DWORD NDCB0_DBC = 0x00080000;      // double-byte command
constexpr DWORD NDCB0_CMD_TYPE_SHIFT = 21;   // bits 21-23: command type
constexpr DWORD NDCB0_CSEL = 0x01000000;     // chip select 1
constexpr DWORD NDCB0_AUTO_RS = 0x02000000;  // read the chip's status after the command
constexpr DWORD kCommandTypeRead = 0;
constexpr DWORD kCommandTypeProgram = 1;
constexpr DWORD kCommandTypeErase = 2;
constexpr DWORD kCommandTypeReadId = 3;
constexpr DWORD kCommandTypeReset = 5;

// Bounded busy-wait: status reads after the first before a wait gives up.
constexpr DWORD kNandWaitReads = 1400000;

// ---------------------------------------------------------------------------------------------
// Status codes of the primitives
// ---------------------------------------------------------------------------------------------
constexpr int kNandOk = 0;
constexpr int kNandTimeout = 1;           // time-out, mapping failure or no buffer given
constexpr int kNandUncorrectable = 2;     // the page read has more errors than ECC repairs
constexpr int kNandBadBlock = 4;          // the chip reported a failed program or erase
constexpr int kNandCorrected = 8;         // success after a corrected bit error
constexpr int kNandUnsupportedChip = 16;  // identifier matches no chip of the table

// ---------------------------------------------------------------------------------------------
// Chip table
// ---------------------------------------------------------------------------------------------
// Interface and array timings in ns, in the order the table gives them.
struct NandTimings {
  DWORD tCH;            // chip enable hold
  DWORD holdExtension;  // extra hold that tCH must cover (in cycles beyond 7)
  DWORD tCS;            // chip enable setup
  DWORD tWH;            // write enable high
  DWORD tWP;            // write enable pulse
  DWORD tRH;            // read enable high
  DWORD tRP;            // read enable pulse
  DWORD tR;             // array to data register
  DWORD tWHR;           // write enable high to read enable low
  DWORD tAR;            // address latch low to read enable low
};

struct NandChipRow {
  DWORD chipId;  // first two identifier bytes, maker code low; 0 for the start-up row
  NandTimings timings;
  DWORD ndcrBits;
  DWORD readAddressCycles;
  DWORD eraseAddressCycles;
  DWORD blocks;
  DWORD chipSelectSplit;  // first page on chip select 1; kNoChipSelectSplit when one chip
  // Commands as 16-bit words, first byte low.
  WORD readCommand;
  WORD programCommand;
  WORD eraseCommand;
  WORD readIdCommand;
  WORD resetCommand;
};
constexpr DWORD kNoChipSelectSplit = 0xFFFFFFFF;
constexpr int kNandChipRows = 6;
extern const NandChipRow kNandChipTable[kNandChipRows];

// ---------------------------------------------------------------------------------------------
// State (process-wide)
// ---------------------------------------------------------------------------------------------
extern IoPointer nandRegs;  // the mapped controller; null until initialised
extern int nandChipIndex;   // row of kNandChipTable: 0 before identification
extern DWORD ndcrShadow;    // NDCR of every command (without ND_RUN)
extern DWORD ndcrSaved;     // NDCR that NandRelease writes back
extern int nandEccOn;       // mirror of ECC_EN in ndcrShadow
extern int nandSpareOn;     // mirror of SPARE_EN in ndcrShadow
extern DWORD nandClockMhz;  // controller clock the timings count in
extern DWORD nandPageSize;  // bytes
extern DWORD nandPagesPerBlock;
extern DWORD nandBlockSize;  // bytes
extern DWORD nandBlockCount;
extern DWORD nandProcessorIdentity;  // product number of the processor

// ---------------------------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------------------------
// Maps the controller (once per process), sets it up when fullSetup is non-zero (otherwise
// keeps the configuration the OS flash driver left in NDCR, with every interrupt masked and DMA
// off for this program's commands, and hands the OS's own value back at NandRelease),
// identifies the chip and fills the geometry. Returns kNandOk, kNandTimeout (mapping, time-out
// or identification failure) or kNandUnsupportedChip.
[[nodiscard]] int NandControllerInit(int fullSetup);
// Reads the identifier; *id gets the first four bytes (maker code in the low byte).
// kNandOk or kNandTimeout.
[[nodiscard]] int NandReadId(DWORD* id);
// Resets the chip. kNandOk or kNandTimeout.
[[nodiscard]] int NandReset();
// Reads physical page into data (nandPageSize bytes) and spareLength bytes of its spare area
// into spare; either may be null, not both. Returns kNandOk, kNandCorrected,
// kNandUncorrectable or kNandTimeout.
[[nodiscard]] int NandReadPage(void* data, void* spare, DWORD spareLength, DWORD page);
// Programs physical page from data (null: 0xFF) and spareLength spare bytes (the rest 0xFF);
// either may be null, not both. Returns kNandOk, kNandBadBlock or kNandTimeout.
[[nodiscard]] int NandProgramPage(const void* data, const void* spare, DWORD spareLength,
                                  DWORD page);
// Erases the block that holds physical page. kNandOk, kNandBadBlock or kNandTimeout.
[[nodiscard]] int NandEraseBlock(DWORD page);
// Error correction and spare transfers for the following commands; each returns the previous
// setting (0 or 1).
int NandSetEcc(int on);
int NandSetSpare(int on);
// Spare bytes that a page transfer moves: 0 with spare off, 40 with ECC on, else 64.
[[nodiscard]] DWORD NandSpareSize();
// Hands the controller back: writes ndcrSaved to NDCR (no effect before the mapping).
void NandRelease();

// Geometry of the identified chip.
[[nodiscard]] inline DWORD NandPageSize() { return nandPageSize; }
[[nodiscard]] inline DWORD NandPagesPerBlock() { return nandPagesPerBlock; }
[[nodiscard]] inline DWORD NandBlockSize() { return nandBlockSize; }
[[nodiscard]] inline DWORD NandBlockCount() { return nandBlockCount; }

// --- internals, exposed for tests ---
// Controller cycles for ns at clockMhz as the timing fields hold them: 0 for ns <= 1, else
// ceil(ns * clockMhz / 1000) - 1.
[[nodiscard]] DWORD NandCycles(DWORD ns, DWORD clockMhz);
// NDTR0CS0 and NDTR1CS0 for a table row at a clock.
void NandTimingRegisters(int row, DWORD clockMhz, DWORD* ndtr0, DWORD* ndtr1);
// Writes the timing registers for nandChipIndex at nandClockMhz.
void NandComputeTimings();
// ndcrShadow = ndcrSaved = the row's bits with every interrupt masked; written to NDCR.
void NandConfigure();
// Busy-waits until NDSR & mask is non-zero: 0, or -1 after kNandWaitReads further reads.
[[nodiscard]] int NandWait(DWORD mask);
// Forgets the mapping and every setting, as a new process would start.
void NandControllerResetForTesting();
