#include "flash/nand_controller.h"

#include <algorithm>
#include <cstring>

#include "flash/kernel_mode.h"

// ---------------------------------------------------------------------------------------------
// Chip table
// ---------------------------------------------------------------------------------------------
// Row 0 is the start-up configuration: slow timings that every chip meets, a small-page layout
// and only the commands that identification needs. Rows 1 to 5 are the supported chips; all
// of them have 2048-byte pages and 64 pages per block.
const NandChipRow kNandChipTable[kNandChipRows] = {
    {0,
     {100, 100, 100, 100, 100, 100, 100, 20000, 100, 100},
     NDCR_RD_ID_CNT_2 | NDCR_DWIDTH_C | NDCR_ND_ARB_EN,
     0,
     0,
     2048,
     kNoChipSelectSplit,
     0,
     0,
     0,
     0x90,
     0xFF},
    {0xD3EC,
     {5, 70, 20, 10, 12, 10, 22, 20120, 60, 10},
     NDCR_NCSX | NDCR_RA_START | NDCR_PAGE_SZ_2048 | NDCR_RD_ID_CNT_5 | NDCR_PG_PER_BLK_64 |
         NDCR_ND_ARB_EN,
     5,
     3,
     8192,
     kNoChipSelectSplit,
     0x3000,
     0x1080,
     0xD060,
     0x90,
     0xFF},
    {0xF1EC,
     {5, 100, 20, 10, 12, 10, 22, 25120, 60, 10},
     NDCR_RA_START | NDCR_PAGE_SZ_2048 | NDCR_RD_ID_CNT_5 | NDCR_PG_PER_BLK_64 | NDCR_ND_ARB_EN,
     4,
     2,
     1024,
     kNoChipSelectSplit,
     0x3000,
     0x1080,
     0xD060,
     0x90,
     0xFF},
    {0xDAEC,
     {5, 100, 20, 10, 12, 10, 22, 25120, 60, 10},
     NDCR_RA_START | NDCR_PAGE_SZ_2048 | NDCR_RD_ID_CNT_5 | NDCR_PG_PER_BLK_64 | NDCR_ND_ARB_EN,
     5,
     3,
     2048,
     kNoChipSelectSplit,
     0x3000,
     0x1080,
     0xD060,
     0x90,
     0xFF},
    {0xDCEC,
     {5, 70, 20, 10, 12, 10, 22, 25120, 60, 10},
     NDCR_RA_START | NDCR_PAGE_SZ_2048 | NDCR_RD_ID_CNT_5 | NDCR_PG_PER_BLK_64 | NDCR_ND_ARB_EN,
     5,
     3,
     4096,
     kNoChipSelectSplit,
     0x3000,
     0x1080,
     0xD060,
     0x90,
     0xFF},
    // Two 4 Gbit dies: pages from 0x40000 on are the second die's, on chip select 1.
    {0xDCAD,
     {5, 100, 25, 10, 15, 10, 25, 25120, 60, 15},
     NDCR_RA_START | NDCR_PAGE_SZ_2048 | NDCR_RD_ID_CNT_4 | NDCR_PG_PER_BLK_64 | NDCR_ND_ARB_EN,
     5,
     3,
     8192,
     0x40000,
     0x3000,
     0x1080,
     0xD060,
     0x90,
     0xFF},
};

// ---------------------------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------------------------
IoPointer nandRegs;
int nandChipIndex = 0;
DWORD ndcrShadow = 0;
DWORD ndcrSaved = 0;
int nandEccOn = 0;
int nandSpareOn = 0;
DWORD nandClockMhz = 104;  // the controller clock until the processor is known
DWORD nandPageSize = 0;
DWORD nandPagesPerBlock = 0;
DWORD nandBlockSize = 0;
DWORD nandBlockCount = 0;
DWORD nandProcessorIdentity = 0;

namespace {

// That read moves a whole small page: the identifier word and 508 more bytes.
constexpr DWORD kReadIdAsReadDrain = 508;
// A READ ID command moves 8 bytes: the identifier word and one more.
constexpr DWORD kReadIdDrain = 4;
constexpr DWORD kIdentifierMask = 0xFFFF;

struct NandAddressWords {
  DWORD chipSelect;  // 0 or 1
  DWORD first;
  DWORD second;
};

// Physical page to the address words of a command. Pages beyond the chip-select split are the
// second die's and start again from 0 there.
NandAddressWords NandAddress(DWORD page, bool eraseForm) {
  const DWORD split = kNandChipTable[nandChipIndex].chipSelectSplit;
  NandAddressWords words{0, 0, 0};
  if (split != kNoChipSelectSplit && page >= split) {
    words.chipSelect = 1;
    page -= split;
  }
  if (eraseForm) {
    words.first = page;  // row address only
  } else {
    words.first = page << 16;  // two column bytes of 0, then the row
    words.second = page >> 16;
  }
  return words;
}

DWORD CommandWord(WORD command, DWORD addressCycles, DWORD typeBits, DWORD chipSelect) {
  const DWORD doubleByte = (command & 0xFF00) != 0 ? NDCB0_DBC : 0;
  return command | ((addressCycles << NDCB0_ADDR_CYC_SHIFT) | doubleByte | typeBits) |
         (chipSelect != 0 ? NDCB0_CSEL : 0);
}

// Clears the status, starts the controller and hands it the three command words.
[[nodiscard]] int NandStartCommand(DWORD ndcr, DWORD command, DWORD first, DWORD second) {
  nandRegs.Write32(NDSR, NDSR_CLEAR_ALL);
  nandRegs.Write32(NDCR, ndcr | NDCR_ND_RUN);
  if (NandWait(NDSR_WRCMDREQ) != 0) {
    return kNandTimeout;
  }
  nandRegs.Write32(NDCB0, command);
  nandRegs.Write32(NDCB0, first);
  nandRegs.Write32(NDCB0, second);
  return kNandOk;
}

// Waits for the end of a command and decodes its status.
[[nodiscard]] int NandFinish() {
  if (NandWait(NDSR_RDY) != 0 || NandWait(NDSR_FINISHED) != 0) {
    return kNandTimeout;
  }
  const DWORD status = nandRegs.Read32(NDSR);
  if ((status & (NDSR_CS0_BBD | NDSR_CS1_BBD)) != 0) {
    return kNandBadBlock;
  }
  if ((status & NDSR_UNCERR) != 0) {
    return kNandUncorrectable;
  }
  if ((status & NDSR_CORERR) != 0) {
    return kNandCorrected;
  }
  return kNandOk;
}

void DrainWords(DWORD bytes) {
  for (DWORD done = 0; done < bytes; done += 4) {
    (void)nandRegs.Read32(NDDB);
  }
}

void ReadWords(BYTE* destination, DWORD bytes) {
  for (DWORD done = 0; done < bytes; done += 4) {
    const DWORD word = nandRegs.Read32(NDDB);
    std::memcpy(destination + done, &word, 4);
  }
}

void WriteWords(const BYTE* source, DWORD bytes) {
  for (DWORD done = 0; done < bytes; done += 4) {
    DWORD word;
    std::memcpy(&word, source + done, 4);
    nandRegs.Write32(NDDB, word);
  }
}

void WriteErasedWords(DWORD bytes) {
  for (DWORD done = 0; done < bytes; done += 4) {
    nandRegs.Write32(NDDB, 0xFFFFFFFF);
  }
}

int RowOfChip(DWORD id) {
  for (int row = 1; row < kNandChipRows; ++row) {
    if (kNandChipTable[row].chipId == id) {
      return row;
    }
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Timing and configuration
// ---------------------------------------------------------------------------------------------
DWORD NandCycles(DWORD ns, DWORD clockMhz) {
  if (ns <= 1) {
    return 0;
  }
  return (ns * clockMhz + 999) / 1000 - 1;
}

void NandTimingRegisters(int row, DWORD clockMhz, DWORD* ndtr0, DWORD* ndtr1) {
  const NandTimings& t = kNandChipTable[row].timings;
  // The chip enable hold field also has to cover a hold extension beyond its 7-cycle range.
  DWORD tCH = NandCycles(t.tCH, clockMhz);
  const DWORD hold = NandCycles(t.holdExtension, clockMhz);
  if (hold > 7) {
    tCH = std::max(tCH, hold - 7);
  }
  tCH = std::min<DWORD>(tCH, 7);
  const DWORD tCS = std::min<DWORD>(NandCycles(t.tCS, clockMhz), 7);
  const DWORD tWH = std::min<DWORD>(NandCycles(t.tWH, clockMhz), 7);
  const DWORD tWP = std::min<DWORD>(NandCycles(t.tWP, clockMhz), 7);
  const DWORD tRH = std::min<DWORD>(NandCycles(t.tRH, clockMhz), 7);
  const DWORD tRP = std::min<DWORD>(NandCycles(t.tRP, clockMhz), 7);
  const DWORD tR = std::min<DWORD>(NandCycles(t.tR, clockMhz), 0xFFFF);
  const DWORD tWHR = std::min<DWORD>(NandCycles(t.tWHR, clockMhz), 15);
  const DWORD tAR = std::min<DWORD>(NandCycles(t.tAR, clockMhz), 15);
  *ndtr0 = tCH << 19 | tCS << 16 | tWH << 11 | tWP << 8 | tRH << 3 | tRP;
  *ndtr1 = tR << 16 | tWHR << 4 | tAR;
}

void NandComputeTimings() {
  DWORD ndtr0 = 0;
  DWORD ndtr1 = 0;
  NandTimingRegisters(nandChipIndex, nandClockMhz, &ndtr0, &ndtr1);
  nandRegs.Write32(NDTR0CS0, ndtr0);
  nandRegs.Write32(NDTR1CS0, ndtr1);
}

void NandConfigure() {
  ndcrShadow = kNandChipTable[nandChipIndex].ndcrBits | NDCR_INTERRUPT_MASKS;
  ndcrSaved = ndcrShadow;
  nandRegs.Write32(NDCR, ndcrShadow);
}

int NandWait(DWORD mask) {
  for (DWORD reads = 0; reads <= kNandWaitReads; ++reads) {
    if ((nandRegs.Read32(NDSR) & mask) != 0) {
      return 0;
    }
  }
  return -1;
}

int NandSetEcc(int on) {
  const int previous = nandEccOn;
  nandEccOn = on != 0 ? 1 : 0;
  ndcrShadow = nandEccOn != 0 ? ndcrShadow | NDCR_ECC_EN : ndcrShadow & ~NDCR_ECC_EN;
  return previous;
}

int NandSetSpare(int on) {
  const int previous = nandSpareOn;
  nandSpareOn = on != 0 ? 1 : 0;
  ndcrShadow = nandSpareOn != 0 ? ndcrShadow | NDCR_SPARE_EN : ndcrShadow & ~NDCR_SPARE_EN;
  return previous;
}

DWORD NandSpareSize() {
  if (nandSpareOn == 0) {
    return 0;
  }
  // With ECC the controller keeps 24 of the 64 spare bytes for its code.
  return nandEccOn != 0 ? 40 : 64;
}

void NandRelease() {
  if (nandRegs) {
    nandRegs.Write32(NDCR, ndcrSaved);
  }
}

// ---------------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------------
int NandReadId(DWORD* id) {
  DWORD ndcr = ndcrShadow;
  DWORD type = kCommandTypeReadId;
  DWORD drain = kReadIdDrain;
  if (nandProcessorIdentity == kProcessorPxa310) {
    // This processor's controller takes the identifier read as a plain read of a small page
    // without ECC or spare.
    ndcr &= kNdcrReadIdMask;
    type = kCommandTypeRead;
    drain = kReadIdAsReadDrain;
  }
  const DWORD command =
      kNandChipTable[nandChipIndex].readIdCommand | type << NDCB0_CMD_TYPE_SHIFT | 1u << 16;
  if (NandStartCommand(ndcr, command, 0, 0) != kNandOk || NandWait(NDSR_RDDREQ) != 0) {
    return kNandTimeout;
  }
  *id = nandRegs.Read32(NDDB);
  DrainWords(drain);
  if (NandWait(NDSR_CS0_CMDD) != 0) {
    return kNandTimeout;
  }
  return kNandOk;
}

int NandReset() {
  const DWORD command = kNandChipTable[nandChipIndex].resetCommand | kCommandTypeReset
                                                                         << NDCB0_CMD_TYPE_SHIFT;
  if (NandStartCommand(ndcrShadow, command, 0, 0) != kNandOk || NandWait(NDSR_RDY) != 0) {
    return kNandTimeout;
  }
  return kNandOk;
}

int NandReadPage(void* data, void* spare, DWORD spareLength, DWORD page) {
  if (data == nullptr && spare == nullptr) {
    return kNandTimeout;
  }
  const NandChipRow& row = kNandChipTable[nandChipIndex];
  const NandAddressWords address = NandAddress(page, false);
  const DWORD command = CommandWord(row.readCommand, row.readAddressCycles,
                                    kCommandTypeRead << NDCB0_CMD_TYPE_SHIFT, address.chipSelect);
  if (NandStartCommand(ndcrShadow, command, address.first, address.second) != kNandOk ||
      NandWait(NDSR_RDDREQ) != 0) {
    return kNandTimeout;
  }
  if (data != nullptr) {
    ReadWords(static_cast<BYTE*>(data), nandPageSize);
  } else {
    DrainWords(nandPageSize);
  }
  // Never more than the transfer holds: the rest of the caller's spare buffer stays as it was.
  const DWORD spareSize = NandSpareSize();
  const DWORD spareWords = spare != nullptr ? std::min(spareLength, spareSize) / 4 * 4 : 0;
  if (spareWords != 0) {
    ReadWords(static_cast<BYTE*>(spare), spareWords);
  }
  DrainWords(spareSize - spareWords);
  const int status = NandFinish();
  if (status != kNandCorrected && status != kNandUncorrectable) {
    return status;
  }
  // After an ECC event the controller is settled by a read of page 0 on chip select 0. Only a
  // time-out of that read counts: what its own page holds is no concern of this read.
  const DWORD dummy = CommandWord(row.readCommand, row.readAddressCycles,
                                  kCommandTypeRead << NDCB0_CMD_TYPE_SHIFT, 0);
  if (NandStartCommand(ndcrShadow, dummy, 0, 0) != kNandOk || NandWait(NDSR_RDDREQ) != 0) {
    return kNandTimeout;
  }
  DrainWords(nandPageSize + spareSize);
  if (NandFinish() == kNandTimeout) {
    return kNandTimeout;
  }
  return status;
}

int NandProgramPage(const void* data, const void* spare, DWORD spareLength, DWORD page) {
  if (data == nullptr && spare == nullptr) {
    return kNandTimeout;
  }
  const NandChipRow& row = kNandChipTable[nandChipIndex];
  const NandAddressWords address = NandAddress(page, false);
  const DWORD command =
      CommandWord(row.programCommand, row.readAddressCycles,
                  kCommandTypeProgram << NDCB0_CMD_TYPE_SHIFT | NDCB0_AUTO_RS, address.chipSelect);
  if (NandStartCommand(ndcrShadow, command, address.first, address.second) != kNandOk ||
      NandWait(NDSR_WRDREQ) != 0) {
    return kNandTimeout;
  }
  if (data != nullptr) {
    WriteWords(static_cast<const BYTE*>(data), nandPageSize);
  } else {
    WriteErasedWords(nandPageSize);
  }
  const DWORD spareSize = NandSpareSize();
  // Whole words only, and never more than the transfer holds; a partial last word is padded
  // with 0xFF (which leaves those bytes erased).
  const DWORD spareBytes = spare != nullptr ? std::min(spareLength, spareSize) : 0;
  DWORD written = 0;
  for (; written + 4 <= spareBytes; written += 4) {
    DWORD word;
    std::memcpy(&word, static_cast<const BYTE*>(spare) + written, 4);
    nandRegs.Write32(NDDB, word);
  }
  if (written < spareBytes) {
    DWORD word = 0xFFFFFFFF;
    std::memcpy(&word, static_cast<const BYTE*>(spare) + written, spareBytes - written);
    nandRegs.Write32(NDDB, word);
    written += 4;
  }
  WriteErasedWords(spareSize - written);
  return NandFinish();
}

int NandEraseBlock(DWORD page) {
  const NandChipRow& row = kNandChipTable[nandChipIndex];
  const NandAddressWords address = NandAddress(page, true);
  const DWORD command =
      CommandWord(row.eraseCommand, row.eraseAddressCycles,
                  kCommandTypeErase << NDCB0_CMD_TYPE_SHIFT | NDCB0_AUTO_RS, address.chipSelect);
  if (NandStartCommand(ndcrShadow, command, address.first, address.second) != kNandOk) {
    return kNandTimeout;
  }
  return NandFinish();
}

// ---------------------------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------------------------
int NandControllerInit(int fullSetup) {
  // One mapping for the life of the process: a retried start-up reuses it.
  if (!nandRegs) {
    nandRegs = MapRegisters(kNandControllerPhysical);
    if (!nandRegs) {
      return kNandTimeout;
    }
  }
  if (fullSetup != 0) {
    nandChipIndex = 0;
    NandComputeTimings();
    NandConfigure();
    // A chip that does not answer shows in the identification below.
    (void)NandReset();
  } else {
    // The OS flash driver has set the controller up: keep its chip configuration, but this
    // program polls, so its commands run with every interrupt masked and without DMA. The OS
    // gets its own value back when the controller is released.
    ndcrSaved = nandRegs.Read32(NDCR) & ~NDCR_ND_RUN;
    ndcrShadow = (ndcrSaved & ~NDCR_DMA_EN) | NDCR_INTERRUPT_MASKS;
  }
  nandProcessorIdentity = GetProcessorIdentity();
  // The controller runs from a 156 MHz clock on the PXA300 and PXA310, 104 MHz on the others.
  nandClockMhz =
      nandProcessorIdentity == kProcessorPxa300 || nandProcessorIdentity == kProcessorPxa310 ? 156
                                                                                             : 104;
  DWORD id = 0;
  if (NandReadId(&id) != kNandOk) {
    return kNandTimeout;
  }
  const int row = RowOfChip(id & kIdentifierMask);
  if (row == 0) {
    return kNandUnsupportedChip;
  }
  nandChipIndex = row;
  if (fullSetup != 0) {
    NandComputeTimings();
    NandConfigure();
  }
  const DWORD ndcrBits = kNandChipTable[row].ndcrBits;
  nandPageSize = (ndcrBits & NDCR_PAGE_SZ_2048) != 0 ? 2048 : 512;
  nandPagesPerBlock = (ndcrBits & NDCR_PG_PER_BLK_64) != 0 ? 64 : 32;
  nandBlockSize = nandPageSize * nandPagesPerBlock;
  nandBlockCount = kNandChipTable[row].blocks;
  // No row turns error correction or spare transfers on; the shadow follows its mirrors (a
  // configuration kept from the OS flash driver may have had them on).
  nandEccOn = 0;
  nandSpareOn = 0;
  ndcrShadow &= ~(NDCR_ECC_EN | NDCR_SPARE_EN);
  return kNandOk;
}

void NandControllerResetForTesting() {
  if (nandRegs) {
    UnmapRegisters(nandRegs);
  }
  nandRegs = IoPointer();
  nandChipIndex = 0;
  ndcrShadow = 0;
  ndcrSaved = 0;
  nandEccOn = 0;
  nandSpareOn = 0;
  nandClockMhz = 104;
  nandPageSize = 0;
  nandPagesPerBlock = 0;
  nandBlockSize = 0;
  nandBlockCount = 0;
  nandProcessorIdentity = 0;
}
