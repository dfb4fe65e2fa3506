// npy_header.cpp: the header of a NumPy .npy array: written (version 1.0, data 64-byte aligned), parsed (versions 1.0 to 3.0) and checked against a zip member.
#include "core/npy_header.hpp"

#include <optional>
#include <utility>

#include "core/little_endian.hpp"
#include "core/quoted.hpp"

namespace tessaray::core {
namespace {

constexpr std::string_view kNpyMagic = "\x93NUMPY";
constexpr std::size_t kAlign = 64;

// Parses the header dict as numpy writes it: a Python dict literal of
// exactly the keys 'descr' (a string), 'fortran_order' (True or False) and
// 'shape' (a tuple of integers), followed by blanks only.
class DictParser {
public:
    explicit DictParser(std::string_view text) : s_(text) {}

    std::optional<NpyHeader> parse() {
        NpyHeader h;
        bool has_descr = false, has_order = false, has_shape = false;
        if (!eat('{')) return std::nullopt;
        while (!eat('}')) {
            const auto key = string();
            if (!key || !eat(':')) return std::nullopt;
            if (*key == "descr" && !has_descr) {
                const auto v = string();
                if (!v) return std::nullopt;
                h.descr = *v;
                has_descr = true;
            } else if (*key == "fortran_order" && !has_order) {
                if (word("True")) {
                    h.fortran_order = true;
                } else if (!word("False")) {
                    return std::nullopt;
                }
                has_order = true;
            } else if (*key == "shape" && !has_shape) {
                if (!tuple(h.shape)) return std::nullopt;
                has_shape = true;
            } else {
                return std::nullopt;
            }
            if (!eat(',')) {
                if (!eat('}')) return std::nullopt;
                break;
            }
        }
        blanks();
        if (i_ != s_.size() || !(has_descr && has_order && has_shape)) return std::nullopt;
        return h;
    }

private:
    void blanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool eat(char c) {
        blanks();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        blanks();
        if (s_.substr(i_, w.size()) != w) return false;
        i_ += w.size();
        return true;
    }
    std::optional<std::string_view> string() {
        blanks();
        if (i_ >= s_.size() || (s_[i_] != '\'' && s_[i_] != '"')) return std::nullopt;
        const char quote = s_[i_];
        const std::size_t close = s_.find(quote, i_ + 1);
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view v = s_.substr(i_ + 1, close - i_ - 1);
        if (v.find('\\') != std::string_view::npos || v.find('\n') != std::string_view::npos) return std::nullopt;
        i_ = close + 1;
        return v;
    }
    std::optional<std::uint64_t> integer() {
        blanks();
        const std::size_t start = i_;
        std::uint64_t v = 0;
        for (; i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; ++i_) {
            const std::uint64_t digit = static_cast<std::uint64_t>(s_[i_] - '0');
            if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
            v = v * 10 + digit;
        }
        if (i_ == start) return std::nullopt;
        return v;
    }
    // "()", "(n,)", "(n, m)", "(n, m,)": one value needs its comma.  At
    // most numpy's 64 dimensions, so the shape's memory never follows the
    // header's length.
    bool tuple(std::vector<std::uint64_t>& out) {
        constexpr std::size_t kMaxDims = 64;
        if (!eat('(')) return false;
        bool comma = false;
        while (!eat(')')) {
            if ((!out.empty() && !comma) || out.size() == kMaxDims) return false;
            const auto v = integer();
            if (!v) return false;
            out.push_back(*v);
            comma = eat(',');
        }
        return out.size() != 1 || comma;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

}  // namespace

std::string npy_header(std::string_view descr, std::span<const std::uint64_t> shape) {
    std::string tuple = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) tuple += (i == 0 ? "" : ", ") + std::to_string(shape[i]);
    tuple += shape.size() == 1 ? ",)" : ")";
    const std::string dict =
        "{'descr': '" + std::string(descr) + "', 'fortran_order': False, 'shape': " + tuple + ", }";
    const std::size_t prefix = kNpyMagic.size() + 4;
    const std::size_t total = (prefix + dict.size() + 1 + kAlign - 1) / kAlign * kAlign;
    std::string out(kNpyMagic);
    out.push_back(1);
    out.push_back(0);
    put16(out, total - prefix);
    out += dict;
    out.append(total - prefix - dict.size() - 1, ' ');
    out.push_back('\n');
    return out;
}

Expected<NpyHeader, std::string> parse_npy_header(std::span<const unsigned char> npy) {
    const std::size_t magic = kNpyMagic.size();
    if (npy.size() < magic + 4 || std::string_view(reinterpret_cast<const char*>(npy.data()), magic) != kNpyMagic) {
        return unexpected(std::string("is not a .npy array"));
    }
    const unsigned char major = npy[magic], minor = npy[magic + 1];
    if (major < 1 || major > 3 || minor != 0) {
        return unexpected("has .npy format version " + std::to_string(major) + "." + std::to_string(minor));
    }
    const std::size_t length_bytes = major == 1 ? 2 : 4;
    const std::uint64_t prefix = magic + 2 + length_bytes;
    if (npy.size() < prefix) return unexpected(std::string("is cut short"));
    const std::uint64_t header_bytes = get_le(npy.data() + magic + 2, static_cast<int>(length_bytes));
    if (header_bytes > npy.size() - prefix) return unexpected(std::string("is cut short"));
    auto header =
        DictParser(std::string_view(reinterpret_cast<const char*>(npy.data() + prefix), header_bytes)).parse();
    if (!header) return unexpected(std::string("has a malformed .npy header"));
    header->data_offset = prefix + header_bytes;
    return std::move(*header);
}

Expected<NpyHeader, std::string> read_npy_member(const ZipMember& member, std::string_view descr,
                                                 std::size_t item_bytes, std::size_t dims) {
    const std::string name = "member " + quoted(member.name);
    auto header = parse_npy_header(member.bytes);
    if (!header) return unexpected(name + " " + header.error());
    if (header->descr != descr)
        return unexpected(name + " has dtype " + quoted(header->descr) + ", not " + quoted(descr));
    if (header->fortran_order) return unexpected(name + " is in Fortran order");
    if (header->shape.size() != dims) {
        return unexpected(name + " has " + std::to_string(header->shape.size()) + " dimensions, not " +
                          std::to_string(dims));
    }
    std::uint64_t data_bytes = item_bytes;
    for (const std::uint64_t extent : header->shape) {
        if (__builtin_mul_overflow(data_bytes, extent, &data_bytes))
            return unexpected(name + " has an impossible shape");
    }
    const std::uint64_t held = member.bytes.size() - header->data_offset;
    if (data_bytes != held) {
        return unexpected(name + " holds " + std::to_string(held) + " bytes of data where its shape needs " +
                          std::to_string(data_bytes));
    }
    return std::move(header).value();
}

}  // namespace tessaray::core
