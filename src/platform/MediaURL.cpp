#include "platform/MediaURL.h"

#include <array>
#include <filesystem>
#include <system_error>
#include <vector>

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

// `prefix` followed by components [from, to), one "/" before each; "/" for
// no components at all.
std::string joined(const std::vector<std::string_view>& components, std::size_t from,
                   std::size_t to, std::string prefix) {
    for (std::size_t k = from; k < to; ++k) {
        if (prefix.empty() || prefix.back() != '/') prefix += '/';
        prefix += components[k];
    }
    return prefix.empty() ? std::string("/") : prefix;
}

}  // namespace

MediaURL MediaURL::generator(Generator kind) {
    MediaURL url;
    url.generator_ = kind;
    return url;
}

MediaURL MediaURL::fileURL(std::string_view path) {
    std::string absolute(path);
    if (!absolute.starts_with('/')) {
        std::error_code error;
        const std::filesystem::path base = std::filesystem::current_path(error);
        absolute = (error ? std::string() : base.string()) + "/" + absolute;
    }

    // "." and empty components name the folder they are in, so dropping them
    // is exact. ".." is not: after a symbolic link it climbs out of the folder
    // the link points at, so only the file system can say where it leads.
    std::vector<std::string_view> components;
    std::size_t lastParent = 0;  // one past the last ".." in `components`
    for (std::size_t start = 0; start < absolute.size();) {
        std::size_t end = absolute.find('/', start);
        if (end == std::string::npos) end = absolute.size();
        const std::string_view component = std::string_view(absolute).substr(start, end - start);
        if (!component.empty() && component != ".") {
            components.push_back(component);
            if (component == "..") lastParent = components.size();
        }
        start = end + 1;
    }

    MediaURL url;
    url.generator_.reset();
    url.path_ = joined(components, 0, components.size(), "");
    if (lastParent > 0) {
        // The folder up to the last "..", resolved as an open would resolve
        // it; where it does not exist, the path stays as written.
        std::error_code error;
        const std::filesystem::path folder =
            std::filesystem::canonical(joined(components, 0, lastParent, ""), error);
        if (!error) url.path_ = joined(components, lastParent, components.size(), folder.string());
    }
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
