#include "editor/document_text.hpp"

#include <iconv.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
constexpr std::string_view UTF16LE_BOM = "\xFF\xFE";
constexpr std::string_view UTF16BE_BOM = "\xFE\xFF";

bool is_utf8(std::string_view encoding) {
    return encoding.empty() || encoding == "utf8" || encoding == "utf8bom";
}

// The iconv name of an editor encoding id: the ids name the same encodings without punctuation.
std::string iconv_name(std::string const& encoding) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 14> names{{
        {"utf16le", "UTF-16LE"},
        {"utf16be", "UTF-16BE"},
        {"macroman", "MACINTOSH"},
        {"koi8r", "KOI8-R"},
        {"koi8u", "KOI8-U"},
        {"koi8ru", "KOI8-RU"},
        {"koi8t", "KOI8-T"},
        {"shiftjis", "SHIFT_JIS"},
        {"eucjp", "EUC-JP"},
        {"euckr", "EUC-KR"},
        {"big5hkscs", "BIG5-HKSCS"},
        {"gb2312", "GB2312"},
        {"gbk", "GBK"},
        {"gb18030", "GB18030"},
    }};
    for (auto const& [id, name] : names) {
        if (encoding == id) {
            return std::string(name);
        }
    }
    std::string upper;
    for (char c : encoding) {
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    // "iso88591" -> "ISO-8859-1", "iso885915" -> "ISO-8859-15"
    if (upper.rfind("ISO8859", 0) == 0 && upper.size() > 7) {
        return "ISO-8859-" + upper.substr(7);
    }
    // "windows1252" -> "WINDOWS-1252"
    if (upper.rfind("WINDOWS", 0) == 0 && upper.size() > 7) {
        return "WINDOWS-" + upper.substr(7);
    }
    return upper;  // "cp437", "cp850", "tis620", ...
}

std::string_view bom_of(std::string const& encoding) {
    if (is_utf8(encoding)) {
        return UTF8_BOM;
    }
    if (encoding == "utf16le") {
        return UTF16LE_BOM;
    }
    if (encoding == "utf16be") {
        return UTF16BE_BOM;
    }
    return {};
}

// Decodes with iconv; a byte that does not decode becomes U+FFFD and decoding goes on after it.
std::optional<std::string> iconv_to_utf8(std::string_view bytes, std::string const& from) {
    iconv_t const cd = ::iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::string out;
    std::array<char, 16384> chunk;
    char* in = const_cast<char*>(bytes.data());
    std::size_t in_left = bytes.size();
    while (in_left > 0) {
        char* at = chunk.data();
        std::size_t out_left = chunk.size();
        std::size_t const result = ::iconv(cd, &in, &in_left, &at, &out_left);
        int const error = errno;
        out.append(chunk.data(), chunk.size() - out_left);
        if (result != static_cast<std::size_t>(-1)) {
            continue;
        }
        if (error == E2BIG) {
            continue;
        }
        out += REPLACEMENT;
        if (error == EINVAL) {
            break;  // a sequence cut off at the end
        }
        ++in;  // EILSEQ: skip the byte that does not decode
        --in_left;
    }
    ::iconv_close(cd);
    return out;
}

std::string with_line_ends(std::string_view text, std::string_view eol) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char const c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            out += eol;
        } else if (c == '\n') {
            out += eol;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string utf8_with_replacement(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto const lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out += bytes[i++];
            continue;
        }
        int need = 0;
        unsigned char lower = 0x80;
        unsigned char upper = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            lower = lead == 0xE0 ? 0xA0 : 0x80;
            upper = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            lower = lead == 0xF0 ? 0x90 : 0x80;
            upper = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            out += REPLACEMENT;
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int got = 0;
        while (got < need && j < bytes.size()) {
            auto const next = static_cast<unsigned char>(bytes[j]);
            if (next < lower || next > upper) {
                break;
            }
            lower = 0x80;
            upper = 0xBF;
            ++j;
            ++got;
        }
        if (got == need) {
            out.append(bytes.substr(i, j - i));
        } else {
            out += REPLACEMENT;  // the byte that broke the sequence starts the next one
        }
        i = j;
    }
    return out;
}

std::optional<std::string> decode_as_editor(std::string_view raw, DocumentFormat const& format) {
    std::string_view const bom = bom_of(format.encoding);
    if (!bom.empty() && raw.substr(0, bom.size()) == bom) {
        raw.remove_prefix(bom.size());
    }
    std::optional<std::string> text;
    if (is_utf8(format.encoding)) {
        text = utf8_with_replacement(raw);
    } else {
        text = iconv_to_utf8(raw, iconv_name(format.encoding));
    }
    if (text && (format.eol == "\n" || format.eol == "\r\n")) {
        text = with_line_ends(*text, format.eol);
    }
    return text;
}

std::string sha256_hex(std::string_view bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
    static constexpr char HEX[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += HEX[digest[i] >> 4];
        hex += HEX[digest[i] & 0x0F];
    }
    return hex;
}
