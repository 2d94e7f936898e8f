#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/code_page.h"

namespace corvid {

// The 8-bit code page of 8.3 names. Nothing: single-byte names in which only ASCII characters
// survive (others become '_'), as on a Western system; Gbk or Big5: double-byte names as a
// Chinese Windows writes them.
using ShortNameCodePage = std::optional<CodePage>;

// True for the first byte of a two-byte character of the code page (GBK and Big5: 0x81-0xFE).
bool isLeadByte(const ShortNameCodePage& codePage, unsigned char byte);

// Upper-cases the ASCII letters of an 8-bit name, leaving the bytes of double-byte characters
// alone (a trail byte may look like a lower-case letter).
std::string upperCaseShortName(std::string_view name, const ShortNameCodePage& codePage);

// Splits a path of 8-bit names at its backslashes; a backslash that is the trail byte of a
// double-byte character does not split.
std::vector<std::string_view> splitShortPath(std::string_view path,
                                             const ShortNameCodePage& codePage);

// The 11 bytes of a directory entry's name: 8 of name, 3 of extension, blank padded.
using ShortName11 = std::array<std::uint8_t, 11>;

// Splits an 8.3 text such as "NAME~1.TXT" into its blank-padded 11 bytes, upper-casing ASCII
// letters. A first byte 0xE5 (a lead byte in GBK and Big5) is stored as 0x05, as the FAT
// standard has it: 0xE5 marks a free entry. Nothing when the text is empty or does not fit in 8
// and 3 bytes.
std::optional<ShortName11> splitShortName(std::string_view text, const ShortNameCodePage& codePage);

// The 8.3 aliases of the names in one folder, as Windows gives them: a name that is already a
// valid 8.3 name keeps it (upper-cased); others get their first six usable characters, a "~N"
// tail and the first three characters of their extension ("Long File.html" -> "LONGFI~1.HTM"),
// and past ~4 a form with a hash of the long name ("LO1CEC~1.HTM"; short_name.cpp describes it).
// Every alias is unique in the folder, upper case, and at most 8 and 3 bytes in the code page;
// each costs a few look-ups in the folder's set of names, however large the folder.
class ShortNameGenerator {
  public:
    explicit ShortNameGenerator(ShortNameCodePage codePage) : codePage_(codePage) {}

    // The aliases of a folder's names, in the order given. Names that are valid 8.3 names keep
    // them before any "~N" alias is handed out, so an alias never takes a name a file has. An
    // entry is empty for a name that cannot be held (see isValidLongName).
    std::vector<std::optional<std::string>> aliases(const std::vector<std::u16string>& names);

    // The alias of one more name in the folder; empty for a name that cannot be held.
    std::optional<std::string> alias(std::u16string_view longName);

    // Whether Windows can hold the long name: 1 to 255 UTF-16 units, no control character, none
    // of " * / : < > ? \ |, not ending in a blank or a dot, not only dots and blanks.
    static bool isValidLongName(std::u16string_view longName);

  private:
    std::optional<std::string> validShortName(std::u16string_view longName) const;
    std::optional<std::string> generated(std::u16string_view longName);
    std::optional<std::string> encode(char32_t c) const;
    bool claim(const std::string& text);

    ShortNameCodePage codePage_;
    std::unordered_set<std::string> taken_;  // upper-case 8.3 texts
};

}  // namespace corvid
