#include "platform/code_page.h"

#include <iconv.h>
#include <cerrno>
#include <cstring>

namespace corvid {

namespace {

// The Windows code pages themselves (CP950, CP936), not plain BIG5/GBK: they add the euro sign
// and a few other characters that texts written on Windows may hold.
const char* iconvName(CodePage codePage) {
    switch (codePage) {
        case CodePage::Utf8:
            return "UTF-8";
        case CodePage::Utf16Le:
            return "UTF-16LE";
        case CodePage::Utf16Be:
            return "UTF-16BE";
        case CodePage::Big5:
            return "CP950";
        case CodePage::Gbk:
            return "CP936";
    }
    throw CodePageError("unknown code page " + std::to_string(static_cast<int>(codePage)));
}

class Converter {
  public:
    Converter(CodePage from, CodePage to) : handle_(iconv_open(iconvName(to), iconvName(from))) {
        if (handle_ == reinterpret_cast<iconv_t>(-1)) {
            throw CodePageError("the conversion from " + codePageName(from) + " to " +
                                codePageName(to) + " is not available: " + std::strerror(errno));
        }
    }
    ~Converter() { iconv_close(handle_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    iconv_t get() const { return handle_; }

  private:
    iconv_t handle_;
};

}  // namespace

std::string convertCodePage(std::string_view bytes, CodePage from, CodePage to) {
    Converter converter(from, to);
    std::string out;
    out.resize(bytes.size() * 2 + 16);

    // iconv takes a non-const input pointer but never writes through it.
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    size_t outUsed = 0;
    while (inLeft > 0) {
        char* outPtr = out.data() + outUsed;
        size_t outLeft = out.size() - outUsed;
        const size_t rc = iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
        outUsed = out.size() - outLeft;
        if (rc != static_cast<size_t>(-1)) {
            break;
        }
        const int error = errno;
        const size_t offset = static_cast<size_t>(in - bytes.data());
        if (error == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (error == EILSEQ) {
            throw CodePageError("the " + codePageName(from) +
                                " text has a byte sequence at offset " + std::to_string(offset) +
                                " that does not convert to " + codePageName(to));
        }
        if (error == EINVAL) {
            throw CodePageError("the " + codePageName(from) + " text ends in an incomplete " +
                                "character at offset " + std::to_string(offset));
        }
        throw CodePageError("converting " + codePageName(from) + " to " + codePageName(to) +
                            " failed at offset " + std::to_string(offset) + ": " +
                            std::strerror(error));
    }
    out.resize(outUsed);
    return out;
}

}  // namespace corvid
