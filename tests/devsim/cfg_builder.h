#pragma once

// A CFG as the station's CFG write leaves it, reduced to the bytes the controller reads; the
// tests write it into the flash themselves, independently of the characterisation code.

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace corvid::test {

struct CfgShape {
    std::uint8_t chips = 1;
    std::uint8_t log2Page = 11;   // 2048-byte pages
    std::uint8_t log2Block = 17;  // 64 pages per block
    std::uint8_t sysUnits = 1;
    std::uint8_t splitRatio = 0;
    bool sectors1024 = false;
    std::vector<std::uint32_t> unusedPages;
    const char* signature = "5V16";
};

inline CfgShape cfgWith(std::uint8_t sysUnits, std::uint8_t splitRatio, bool sectors1024 = false,
                        std::vector<std::uint32_t> unusedPages = {}) {
    CfgShape shape;
    shape.sysUnits = sysUnits;
    shape.splitRatio = splitRatio;
    shape.sectors1024 = sectors1024;
    shape.unusedPages = std::move(unusedPages);
    return shape;
}

inline std::vector<std::uint8_t> buildCfg(const CfgShape& shape) {
    std::vector<std::uint8_t> cfg(512, 0);
    for (int group = 0; group < 16; ++group) {
        std::memcpy(&cfg[group * 4], shape.signature, 4);
    }
    for (int i = 64; i < 80; ++i) {
        cfg[i] = 0xA0;
    }
    cfg[64] = shape.sectors1024 ? 0xA1 : 0xA0;
    cfg[82] = shape.chips;
    cfg[84] = shape.log2Page;
    cfg[85] = shape.log2Block;
    cfg[133] = shape.sysUnits;
    cfg[134] = shape.splitRatio;
    if (!shape.unusedPages.empty()) {
        cfg[132] = 1;
        for (const auto page : shape.unusedPages) {
            cfg[256 + page / 8] |= static_cast<std::uint8_t>(0x80 >> (page % 8));
        }
    }
    std::uint16_t sum = 0;
    for (int i = 82; i <= 254; ++i) {
        sum = static_cast<std::uint16_t>(sum + cfg[i]);
    }
    cfg[80] = static_cast<std::uint8_t>(sum >> 8);
    cfg[81] = static_cast<std::uint8_t>(sum);
    return cfg;
}

}  // namespace corvid::test
