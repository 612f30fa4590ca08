// What the NAND model (sim/hw/nand_flash.cpp) and the OS flash driver's view of it
// (sim/os/nand_os_driver.cpp) share: the controller's register map and the configuration
// registers kept in ram/. Included by those two files only.
#pragma once

#include <cstdint>

#include "sim/hw/nand_flash.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// Controller registers (offsets from 0x43100000) and bits, as the processor manual names them
// ---------------------------------------------------------------------------------------------
inline constexpr std::uint32_t NDCR = 0x00;      // control
inline constexpr std::uint32_t NDTR0CS0 = 0x04;  // timing 0, both chip selects
inline constexpr std::uint32_t NDTR1CS0 = 0x0C;  // timing 1
inline constexpr std::uint32_t NDSR = 0x14;      // status, write one to clear
inline constexpr std::uint32_t NDPCR = 0x18;     // page count (not used by the program)
inline constexpr std::uint32_t NDBDR0 = 0x1C;    // bad block detected, chip select 0
inline constexpr std::uint32_t NDBDR1 = 0x20;    // bad block detected, chip select 1
inline constexpr std::uint32_t NDDB = 0x40;      // data FIFO, 4 bytes per access
inline constexpr std::uint32_t NDCB0 = 0x48;     // command FIFO: three words per command
inline constexpr std::uint32_t NDCB1 = 0x4C;     // read-back of the latched address word 1
inline constexpr std::uint32_t NDCB2 = 0x50;     // read-back of the latched address word 2
inline constexpr std::uint32_t kRegisterWindow = 0x1000;

inline constexpr std::uint32_t NDCR_SPARE_EN = 1u << 31;    // spare area moves through NDDB
inline constexpr std::uint32_t NDCR_ECC_EN = 1u << 30;      // hardware error correction
inline constexpr std::uint32_t NDCR_DMA_EN = 1u << 29;      // data through DMA (not modelled)
inline constexpr std::uint32_t NDCR_ND_RUN = 1u << 28;      // controller runs a command
inline constexpr std::uint32_t NDCR_PAGE_SZ = 3u << 24;     // 0: 512-byte pages, 1: 2048-byte pages
inline constexpr std::uint32_t NDCR_RD_ID_CNT = 7u << 16;   // identifier bytes latched by READ ID
inline constexpr std::uint32_t NDCR_RA_START = 1u << 15;    // row address starts at the third cycle
inline constexpr std::uint32_t NDCR_PG_PER_BLK = 1u << 14;  // 64 pages per block (else 32)
inline constexpr std::uint32_t NDCR_ND_ARB_EN = 1u << 12;  // bus arbiter with the memory controller
inline constexpr std::uint32_t NDCR_INTERRUPT_MASKS = 0xFFF;

inline constexpr std::uint32_t NDSR_WRCMDREQ = 0x001;   // write command request
inline constexpr std::uint32_t NDSR_RDDREQ = 0x002;     // read data request
inline constexpr std::uint32_t NDSR_WRDREQ = 0x004;     // write data request
inline constexpr std::uint32_t NDSR_CORERR = 0x008;     // corrected bit error
inline constexpr std::uint32_t NDSR_UNCERR = 0x010;     // uncorrectable error
inline constexpr std::uint32_t NDSR_CS1_BBD = 0x020;    // bad block detected, chip select 1
inline constexpr std::uint32_t NDSR_CS0_BBD = 0x040;    // bad block detected, chip select 0
inline constexpr std::uint32_t NDSR_CS1_CMDD = 0x080;   // command done, chip select 1
inline constexpr std::uint32_t NDSR_CS0_CMDD = 0x100;   // command done, chip select 0
inline constexpr std::uint32_t NDSR_CS1_PAGED = 0x200;  // page done, chip select 1
inline constexpr std::uint32_t NDSR_CS0_PAGED = 0x400;  // page done, chip select 0
inline constexpr std::uint32_t NDSR_RDY = 0x800;        // the chip's ready line rose

inline constexpr std::uint32_t NDCB0_CMD1 = 0xFF;          // first command byte
inline constexpr std::uint32_t NDCB0_CMD2 = 0xFF00;        // second command byte
inline constexpr std::uint32_t NDCB0_ADDR_CYC_SHIFT = 16;  // bits 16-18: address cycles
inline constexpr std::uint32_t NDCB0_DBC = 1u << 19;       // double-byte command
inline constexpr std::uint32_t NDCB0_NC = 1u << 20;        // next command follows (not modelled)
inline constexpr std::uint32_t NDCB0_CMD_TYPE_SHIFT = 21;  // bits 21-23
inline constexpr std::uint32_t NDCB0_CSEL = 1u << 24;      // chip select 1
inline constexpr std::uint32_t NDCB0_AUTO_RS = 1u
                                               << 25;  // read the chip's status after the command
inline constexpr std::uint32_t NDCB0_RESERVED = 0xFC000000u;

inline constexpr int kTypeRead = 0;
inline constexpr int kTypeProgram = 1;
inline constexpr int kTypeErase = 2;
inline constexpr int kTypeReadId = 3;
inline constexpr int kTypeReset = 5;

// The controller's configuration registers: they hold their values while the module runs.
struct NandFlash::Controller {
  std::uint32_t magic;
  std::uint32_t ndcr;
  std::uint32_t ndtr0;
  std::uint32_t ndtr1;
};

}  // namespace sim
