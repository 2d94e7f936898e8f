#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>

#include "characterisation/flash_info.h"

namespace corvid {

class RegistryStore;
class WorkerState;

// The name a lookup gives when no description file matches the flash.
inline constexpr char kNoFlashFile[] = "0";
// The display and embedded name of a flash nobody named.
inline constexpr char kDefaultFlashName[] = "DEFAULT";

// The description file in 'flashDir' for the five flash ID bytes: an exact match of all five, else
// the first partial match (ID0..ID3, bit 7 of ID3 ignored), else "0". Files are taken in name
// order; hidden files, folders and names not ending in ".txt" (any case) are skipped. A missing
// folder gives "0".
std::string findFlashFile(const std::filesystem::path& flashDir, const FlashIdBytes& id);

// The display name of 'fileName' ("0" for none) for a device with 'chips' chips, from flash.ini
// of 'flashDir': the key of the chip count, else key "1" followed by " x <chips>", else "DEFAULT".
std::string flashDisplayName(const std::filesystem::path& flashDir, const std::string& fileName,
                             int chips);

// Looks the worker's flash up in its station's flash folder; sets FlashInfo.sFlashName to the
// display name and returns the file name or "0".
std::string lookUpFlashFile(WorkerState& w);

// The zero-terminated name at offset 480 of a description file; "DEFAULT" when it is empty or the
// file cannot be read.
std::string readEmbeddedName(const std::filesystem::path& file);

// Reads up to 512 bytes of a description file into the CFG work area and fills the geometry,
// iFlashType, the ECC values and the BlocksPerChip override. False when the file cannot be read,
// holds fewer than 128 bytes, or gives a geometry the work areas cannot hold.
bool parseFlashFile(WorkerState& w, const std::filesystem::path& file);

// Builds a CFG in the work area from the flash ID and chip count with the device-code table.
// False when the device code is not in the table or its codes give no possible geometry.
bool createCfg(WorkerState& w);
// The same CFG for a flash ID and chip count, into the first 512 bytes of 'area' (the rest of the
// area is cleared); for tools that describe a flash without a device at hand.
bool buildCfgFromId(const FlashIdBytes& id, int chips, std::span<std::uint8_t> area);

// Fills the geometry from the CFG in the work area, and the page map when the CFG carries one.
// True when the signature is known, 512 <= page size <= 8192 and 32 <= pages per block <= 128.
bool checkAndParseCfg(WorkerState& w);

// Takes the CFG the device handed back (StoredCfg; 'read' tells whether reading it succeeded) as
// the bad-block knowledge of an earlier production. It is valid when it was read, carries a stored
// CFG's signature, and gives a page size (1 << byte 84) of 512..8192 and pages per block
// (1 << (byte 85 - byte 84)) of 32..256. Sets bStoredCfgValid, iStoredFlashType and
// bStoredPageMap; a stored page map is rebuilt into PageMap for the current pages per block (bit
// set: the page is not used) and bPageMapValid follows it. Returns the validity.
bool takeStoredCfg(WorkerState& w, bool read);

// Reads the block bitmap the device keeps (bit set: usable) into the CFG work area and sets
// pBlockMap from it, which must already hold one byte per block. False when the read fails;
// otherwise 'bad' is the number of unusable blocks.
bool takeStoredBlockMap(WorkerState& w, std::size_t& bad);

// The BlocksPerChip service value: when set, it replaces the blocks per chip and bFixedBlocks is
// set; else bFixedBlocks is cleared.
void applyBlocksPerChipOverride(WorkerState& w);

}  // namespace corvid
