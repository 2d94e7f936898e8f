#include "platform/code_page.h"

namespace corvid {

std::string codePageName(CodePage codePage) {
    switch (codePage) {
        case CodePage::Utf8:
            return "UTF-8";
        case CodePage::Utf16Le:
            return "UTF-16LE";
        case CodePage::Utf16Be:
            return "UTF-16BE";
        case CodePage::Big5:
            return "Big5 (code page " + std::to_string(kCodePageBig5) + ")";
        case CodePage::Gbk:
            return "GBK (code page " + std::to_string(kCodePageGbk) + ")";
    }
    return "code page " + std::to_string(static_cast<int>(codePage));
}

}  // namespace corvid
