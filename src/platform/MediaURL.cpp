#include "platform/MediaURL.h"

#include <array>
#include <filesystem>
#include <system_error>

namespace bw {
namespace {

constexpr std::string_view kFileScheme = "file://";

struct GeneratorName {
    MediaURL::Generator kind;
    std::string_view text;
};
constexpr std::array<GeneratorName, 3> kGenerators{{
    {MediaURL::Generator::Black, "black://"},
    {MediaURL::Generator::Clear, "clear://"},
    {MediaURL::Generator::Grid, "grid://"},
}};

// Bytes that stand for themselves in a path of a file URL.
bool isPlainPathByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/' || c == '!' || c == '$' || c == '&' ||
           c == '\'' || c == '(' || c == ')' || c == '*' || c == '+' || c == ',' || c == ';' ||
           c == '=' || c == ':' || c == '@';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int high = hexValue(text[i + 1]);
        int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

}  // namespace

MediaURL MediaURL::generator(Generator kind) {
    MediaURL url;
    url.generator_ = kind;
    return url;
}

MediaURL MediaURL::fileURL(std::string_view path) {
    std::filesystem::path p{std::string(path)};
    if (!p.is_absolute()) {
        std::error_code error;
        std::filesystem::path base = std::filesystem::current_path(error);
        p = error ? std::filesystem::path("/") / p : base / p;
    }
    std::string folded = p.lexically_normal().string();
    // lexically_normal keeps a trailing separator ("/a/b/" for "/a/b/."); a
    // media file is never a folder, so drop it.
    while (folded.size() > 1 && folded.back() == '/')
        folded.pop_back();

    MediaURL url;
    url.generator_.reset();
    url.path_ = std::move(folded);
    return url;
}

std::optional<MediaURL::Generator> MediaURL::generatorNamed(std::string_view text) {
    for (const auto& g : kGenerators) {
        if (g.text == text) return g.kind;
    }
    return std::nullopt;
}

std::optional<MediaURL> MediaURL::fromString(std::string_view text) {
    if (auto kind = generatorNamed(text)) return generator(*kind);
    if (!text.starts_with(kFileScheme)) return std::nullopt;
    std::string_view rest = text.substr(kFileScheme.size());
    // Only local files: "file:///path" or "file://localhost/path".
    if (rest.starts_with("localhost/")) rest.remove_prefix(std::string_view("localhost").size());
    if (!rest.starts_with('/')) return std::nullopt;
    auto decoded = percentDecode(rest);
    if (!decoded || decoded->find('\0') != std::string::npos) return std::nullopt;
    return fileURL(*decoded);
}

std::string MediaURL::absoluteString() const {
    if (generator_) {
        for (const auto& g : kGenerators) {
            if (g.kind == *generator_) return std::string(g.text);
        }
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out(kFileScheme);
    for (unsigned char c : path_) {
        if (isPlainPathByte(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string MediaURL::lastPathComponent() const {
    if (generator_) return {};
    auto slash = path_.rfind('/');
    return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

}  // namespace bw
