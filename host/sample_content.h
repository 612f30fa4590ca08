// Writers of the content the program reads: bin files with records and sections, XSVF streams,
// and the CPLD's in-system programming vectors, laid out byte by byte as the formats define them
// and written without the program's own code (so that the tests that feed them to the program
// check two implementations against each other). Used by the sample files every new module
// carries and by the tests; the program's folders never include it.
#pragma once

#include <bitset>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace sample_content {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Words and checksums
// ---------------------------------------------------------------------------------------------
// Appends a little-endian word.
void AppendWord(Bytes& bytes, std::uint32_t value);
// Overwrites the little-endian word at offset at.
void SetWord(Bytes& bytes, std::size_t at, std::uint32_t value);
// The record checksum: the sum of the bytes.
std::uint32_t ByteSum(const Bytes& data);
// Fletcher-32 over one piece of whole words; a piece of another length leaves the sums as they
// started (0xFFFFFFFF).
std::uint32_t Fletcher32(const Bytes& data);

// ---------------------------------------------------------------------------------------------
// Bin files
// ---------------------------------------------------------------------------------------------
inline constexpr std::uint32_t kCpldSectionMagic = 0x54584358;  // "XCXT"
inline constexpr std::uint32_t kCpldSectionHeaderBytes = 24;
inline constexpr std::uint32_t kFileSystemSectionHeaderBytes = 348;
// The end record's length word when a file gives no entry point.
inline constexpr std::uint32_t kNoEntryPoint = 0xBCA01000;

class BinBuilder {
 public:
  // The 15-byte header: "B000FF\n", image start, image length.
  BinBuilder& Header(std::uint32_t start, std::uint32_t length);
  // A record with its byte sum (or the checksum given).
  BinBuilder& Record(std::uint32_t address, const Bytes& data);
  BinBuilder& RecordWithChecksum(std::uint32_t address, const Bytes& data, std::uint32_t checksum);
  // The image at start cut into records of at most recordBytes each.
  BinBuilder& Records(std::uint32_t start, const Bytes& image, std::uint32_t recordBytes);
  // The end record: address and checksum 0, the entry point in the length word.
  BinBuilder& End(std::uint32_t entryPoint = kNoEntryPoint);
  // A CPLD section around an XSVF stream (a header of headerBytes bytes, its last word the
  // stream's Fletcher-32).
  BinBuilder& Cpld(const Bytes& stream, std::uint32_t headerBytes = kCpldSectionHeaderBytes,
                   std::uint32_t version = 1);
  BinBuilder& Raw(const Bytes& bytes);
  [[nodiscard]] const Bytes& Data() const { return bytes_; }
  // Writes the bytes to a host file, creating its folder; false when it cannot (whoever reads the
  // file then finds none).
  bool WriteTo(const std::filesystem::path& hostFile) const;

 private:
  Bytes bytes_;
};

// A file system section built field by field: a header of headerBytes bytes whose last word is
// its checksum, then the given payload.
Bytes FileSystemSection(std::uint32_t kind, const Bytes& payload,
                        std::uint32_t headerBytes = kFileSystemSectionHeaderBytes,
                        std::uint32_t memBase = 0xFFFFFFFF, std::uint32_t memLen = 0xFFFFFFFF,
                        std::uint32_t version = 1);
// A payload chunk: first sector, size and Fletcher-32, then the bytes.
Bytes Chunk(std::uint32_t first, const Bytes& data);

// ---------------------------------------------------------------------------------------------
// XSVF streams, command by command
// ---------------------------------------------------------------------------------------------
// TAP states as XSTATE and XWAIT name them.
inline constexpr std::uint8_t kTapReset = 0;
inline constexpr std::uint8_t kTapIdle = 1;
inline constexpr std::uint8_t kTapSelectDr = 2;
inline constexpr std::uint8_t kTapCaptureDr = 3;
inline constexpr std::uint8_t kTapExit1Dr = 5;
inline constexpr std::uint8_t kTapUpdateDr = 8;

class XsvfStream {
 public:
  XsvfStream& Raw(std::initializer_list<std::uint8_t> bytes);
  XsvfStream& Complete();                                                    // XCOMPLETE
  XsvfStream& TdoMask(const Bytes& mask);                                    // XTDOMASK
  XsvfStream& Sir(std::uint8_t bits, const Bytes& tdi);                      // XSIR
  XsvfStream& Sdr(const Bytes& tdi);                                         // XSDR
  XsvfStream& RunTest(std::uint32_t microseconds);                           // XRUNTEST
  XsvfStream& Repeat(std::uint8_t times);                                    // XREPEAT
  XsvfStream& SdrSize(std::uint32_t bits);                                   // XSDRSIZE
  XsvfStream& SdrTdo(const Bytes& tdi, const Bytes& expected);               // XSDRTDO
  XsvfStream& SetSdrMasks(const Bytes& address, const Bytes& data);          // XSETSDRMASKS
  XsvfStream& SdrInc(const Bytes& tdi, const std::vector<Bytes>& nextData);  // XSDRINC
  XsvfStream& SdrB(const Bytes& tdi);                                        // XSDRB
  XsvfStream& SdrC(const Bytes& tdi);                                        // XSDRC
  XsvfStream& SdrE(const Bytes& tdi);                                        // XSDRE
  XsvfStream& SdrTdoB(const Bytes& tdi, const Bytes& expected);              // XSDRTDOB
  XsvfStream& SdrTdoC(const Bytes& tdi, const Bytes& expected);              // XSDRTDOC
  XsvfStream& SdrTdoE(const Bytes& tdi, const Bytes& expected);              // XSDRTDOE
  XsvfStream& State(std::uint8_t state);                                     // XSTATE
  XsvfStream& EndIr(std::uint8_t operand);                                   // XENDIR
  XsvfStream& EndDr(std::uint8_t operand);                                   // XENDDR
  XsvfStream& Sir2(std::uint16_t bits, const Bytes& tdi);                    // XSIR2
  XsvfStream& Comment(const std::string& text);                              // XCOMMENT
  XsvfStream& Wait(std::uint8_t waitState, std::uint8_t endState,
                   std::uint32_t microseconds);  // XWAIT
  [[nodiscard]] const Bytes& Data() const { return bytes_; }

 private:
  XsvfStream& Command(std::uint8_t code, const Bytes& operand);
  XsvfStream& Append(const Bytes& operand);
  XsvfStream& Number(std::uint32_t value, int bytes);
  Bytes bytes_;
};

// ---------------------------------------------------------------------------------------------
// In-system programming of the module's 64-macrocell CPLD
// ---------------------------------------------------------------------------------------------
inline constexpr unsigned kCpldRowCells = 274;
inline constexpr unsigned kCpldRows = 98;
inline constexpr unsigned kCpldUserCodeRow = 97;
using CpldCells = std::bitset<kCpldRowCells>;

// Rows are addressed in Gray code, the address's least significant bit shifted in last (it ends
// up in bit 280 of the 281-bit register, above the 274 cells).
unsigned GrayOf(unsigned row);
// Bit n of a shifted vector is bit n % 8 of byte (count - 1 - n / 8): the last byte goes first.
Bytes BitsToBytes(const std::vector<bool>& bits);
// The 281-bit program vector of a row: its cells, then its 7-bit Gray address.
Bytes ProgramVector(unsigned row, const CpldCells& cells);
// The 7-bit address shifted before a row is read.
Bytes ReadAddress(unsigned row);
// A row's 274 cells as shifted out.
Bytes CellBytes(const CpldCells& cells);
// Row 97's cells for a user code (cells 0 to 31 hold it, the rest erased).
CpldCells UserCodeRow(std::uint32_t userCode);

struct ProgramOptions {
  bool erase = true;
  std::uint32_t eraseWait = 100000;   // microseconds in Run-Test/Idle after the erase
  std::uint32_t programWait = 10000;  // after each row
  std::uint32_t readWait = 100;       // after each read address
  bool verify = true;
  bool initialize = true;  // ISC_INIT's discharge and load before ISC_DISABLE
  bool discharge = true;   // the discharge step of that
};

// A complete programming stream: identify the part (any revision), enter ISC mode, erase,
// program the given rows, read every given row back against its cells, load the array into the
// part's configuration and leave ISC mode (which starts the new design).
Bytes ProgramStream(const std::map<unsigned, CpldCells>& rows, const ProgramOptions& options);

}  // namespace sample_content
