#include "show/ShowFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "platform/FileDescriptor.h"
#include "platform/Utf8.h"
#include "show/NumberText.h"

namespace bw {
namespace {

using nlohmann::json;

// Outputs larger than any texture a GPU can hold are refused at load.
constexpr double kMaxOutputSide = 16384.0;

// Thrown inside this file only, to unwind a failed decode or encode with the
// reason; every public function catches it.
struct FormatError {
    std::string reason;
    // The part of the entry it concerns ("output 2"), where it is one.
    std::string part = {};

    // "cue 2 (ID 2.5), output 1: reason".
    std::string in(const std::string& entry) const {
        return entry + (part.empty() ? "" : ", " + part) + ": " + reason;
    }
};

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// A number where one is expected; a boolean counts as 1 or 0. Anything else is
// absent.
std::optional<double> numberMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_number()) return it->get<double>();
    if (it->is_boolean()) return it->get<bool>() ? 1.0 : 0.0;
    return std::nullopt;
}

// A boolean where one is expected; a number counts as true when non-zero.
std::optional<bool> boolMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number()) return it->get<double>() != 0.0;
    return std::nullopt;
}

const std::string* stringMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

double requireNumber(const json& object, const char* key) {
    auto value = numberMember(object, key);
    if (!value) throw FormatError{quoted(key) + " is missing or not a number"};
    return *value;
}

bool requireBool(const json& object, const char* key) {
    auto value = boolMember(object, key);
    if (!value) throw FormatError{quoted(key) + " is missing or not a boolean"};
    return *value;
}

// The names a file gives each placement and each kind of bars.
constexpr std::pair<PictureFit, const char*> kFitNames[] = {
    {PictureFit::Stretch, "stretch"}, {PictureFit::Fit, "fit"}, {PictureFit::Fill, "fill"}};
constexpr std::pair<PictureBars, const char*> kBarsNames[] = {
    {PictureBars::Transparent, "transparent"}, {PictureBars::Black, "black"}};

constexpr std::pair<AtMovieEnd, const char*> kAtMovieEndNames[] = {{AtMovieEnd::Hold, "hold"},
                                                                   {AtMovieEnd::Black, "black"}};
constexpr std::pair<CueContinue, const char*> kContinueNames[] = {
    {CueContinue::None, "none"},
    {CueContinue::AutoContinue, "autoContinue"},
    {CueContinue::AutoFollow, "autoFollow"}};

// The longest wait a cue may set before or after itself: a day.
constexpr double kMaxWaitSeconds = 86400.0;

template <typename Value, std::size_t N>
const char* nameOf(const std::pair<Value, const char*> (&names)[N], Value value) {
    for (const auto& [named, name] : names) {
        if (named == value) return name;
    }
    return names[0].second;
}

template <typename Value, std::size_t N>
std::optional<Value> valueNamed(const std::pair<Value, const char*> (&names)[N],
                                const std::string& name) {
    for (const auto& [value, named] : names) {
        if (name == named) return value;
    }
    return std::nullopt;
}

// An output state's "fit": absent is Stretch, as every file before it was
// shown; anything but one of the three names fails the show.
PictureFit decodeFit(const json& object) {
    auto it = object.find("fit");
    if (it == object.end()) return PictureFit::Stretch;
    const std::optional<PictureFit> fit =
        it->is_string() ? valueNamed(kFitNames, it->get<std::string>()) : std::nullopt;
    if (!fit) throw FormatError{R"("fit" must be "fit", "fill" or "stretch")"};
    return *fit;
}

// An optional member naming one of `names`; absent is the first. Any other
// value fails the show with a message listing the names.
template <typename Value, std::size_t N>
Value decodeNamed(const json& object, const char* key,
                  const std::pair<Value, const char*> (&names)[N]) {
    auto it = object.find(key);
    if (it == object.end()) return names[0].first;
    if (it->is_string()) {
        if (const std::optional<Value> value = valueNamed(names, it->get<std::string>()))
            return *value;
    }
    std::string reason(1, '"');
    reason.append(key).append("\" must be ");
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) reason.append(i + 1 == N ? " or " : ", ");
        reason.append(1, '"').append(names[i].second).append(1, '"');
    }
    throw FormatError{std::move(reason)};
}

// A cue's optional wait: absent is 0; otherwise a number of seconds from 0 to
// a day (a boolean is no wait, unlike the older members' booleans).
double decodeWait(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return 0.0;
    if (it->is_number()) {
        const double seconds = it->get<double>();
        if (seconds >= 0.0 && seconds <= kMaxWaitSeconds) return seconds;
    }
    std::string reason(1, '"');
    reason.append(key).append("\" must be a number of seconds from 0 to 86400");
    throw FormatError{std::move(reason)};
}

bool isArrayOfObjects(const json& value) {
    if (!value.is_array()) return false;
    for (const json& element : value) {
        if (!element.is_object()) return false;
    }
    return true;
}

int outputSide(const json& object, const char* key) {
    double value = std::trunc(requireNumber(object, key));
    if (!(value >= 1.0 && value <= kMaxOutputSide)) {
        throw FormatError{quoted(key) + " must be between 1 and 16384 pixels"};
    }
    return static_cast<int>(value);
}

// An output's "screen" member. Where a picture goes never stops a show from
// opening: a member that is not an object, or one holding anything but text,
// reads as no choice; a text member left out reads as "".
std::optional<ScreenChoice> decodeScreen(const json& object) {
    auto it = object.find("screen");
    if (it == object.end() || !it->is_object()) return std::nullopt;
    ScreenChoice screen;
    for (auto [key, field] :
         {std::pair{"connector", &screen.connector}, std::pair{"model", &screen.model},
          std::pair{"serial", &screen.serial}}) {
        auto member = it->find(key);
        if (member == it->end()) continue;
        if (!member->is_string()) return std::nullopt;
        *field = member->get<std::string>();
    }
    return screen;
}

std::optional<StreamChoice> decodeStream(const json& object) {
    auto it = object.find("stream");
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_object()) throw FormatError{"\"stream\" is not an object"};
    const std::string* url = stringMember(*it, "url");
    if (url == nullptr) throw FormatError{"the stream's \"url\" is missing or not a string"};
    StreamChoice stream{*url};
    auto bitrate = it->find("bitrate");
    if (bitrate != it->end()) {
        if (!bitrate->is_number_integer() || bitrate->get<std::int64_t>() < 0 ||
            bitrate->get<std::int64_t>() > StreamChoice::kLargestBitrateKbps) {
            throw FormatError{
                "the stream's \"bitrate\" is not a whole number of kbit/s from 0 to " +
                std::to_string(StreamChoice::kLargestBitrateKbps)};
        }
        stream.bitrateKbps = bitrate->get<int>();
    }
    return stream;
}

OutputConfig decodeOutput(const json& object) {
    OutputConfig output;
    const std::string* name = stringMember(object, "name");
    if (name == nullptr) throw FormatError{"\"name\" is missing or not a string"};
    output.name = *name;
    output.width = outputSide(object, "width");
    output.height = outputSide(object, "height");
    output.screen = decodeScreen(object);
    output.stream = decodeStream(object);
    return output;
}

// Throws for text that is not UTF-8.
json encodeScreen(const ScreenChoice& screen, std::size_t output) {
    json encoded = json::object();
    for (auto [key, field] :
         {std::pair{"connector", &screen.connector}, std::pair{"model", &screen.model},
          std::pair{"serial", &screen.serial}}) {
        if (!isUtf8(*field)) {
            throw FormatError{"output " + std::to_string(output + 1) + "'s screen " + key +
                              " is not valid UTF-8"};
        }
        encoded[key] = *field;
    }
    return encoded;
}

class StateDecoder {
public:
    StateDecoder(const std::string& showPath, const std::optional<std::string>& savedLocation)
        : showPath_(showPath), savedLocation_(savedLocation) {}

    MediaOutputState decode(const json& object) {
        MediaOutputState state;
        state.muted = requireBool(object, "muted");
        state.looped = requireBool(object, "looped");
        state.kenBurns = requireBool(object, "kenBurns");
        state.fit = decodeFit(object);
        const AtMovieEnd atMovieEnd = decodeNamed(object, "atMovieEnd", kAtMovieEndNames);

        const std::string* mediaPath = stringMember(object, "mediaPath");
        if (mediaPath == nullptr) return MediaOutputState::defaultState();
        state.atMovieEnd = atMovieEnd;
        if (auto generator = MediaURL::generatorNamed(*mediaPath)) {
            state.mediaURL = MediaURL::generator(*generator);
            return state;
        }
        state.mediaURL = resolve(*mediaPath);
        return state;
    }

private:
    // The media a path names: beside the show as it is now, else beside the
    // show where it was saved, else (missing) beside the show as it is now.
    // Shows use few distinct files many times, so each path is looked up once.
    const MediaURL& resolve(const std::string& mediaPath) {
        auto [it, inserted] = resolved_.try_emplace(mediaPath);
        if (!inserted) return it->second;
        if (mediaPath.find('\0') != std::string::npos) {
            resolved_.erase(it);
            throw FormatError{"\"mediaPath\" contains a NUL character"};
        }
        it->second = MediaURL::fileURL(ShowFile::resolvePath(mediaPath, showPath_));
        if (!ShowFile::mediaFileExists(it->second.path()) && savedLocation_) {
            MediaURL saved = MediaURL::fileURL(ShowFile::resolvePath(mediaPath, *savedLocation_));
            if (ShowFile::mediaFileExists(saved.path())) it->second = std::move(saved);
        }
        return it->second;
    }

    const std::string& showPath_;
    const std::optional<std::string>& savedLocation_;
    std::unordered_map<std::string, MediaURL> resolved_;
};

Cue decodeCue(const json& object, StateDecoder& states, std::size_t outputCount) {
    Cue cue;
    cue.id = requireNumber(object, "id");
    const std::string* description = stringMember(object, "description");
    cue.description = description != nullptr ? *description : std::string();
    cue.fadeLength = requireNumber(object, "fadeLength");
    cue.preWait = decodeWait(object, "preWait");
    cue.continueMode = decodeNamed(object, "continue", kContinueNames);
    cue.postWait = decodeWait(object, "postWait");

    auto list = object.find("outputStates");
    if (list == object.end() || !isArrayOfObjects(*list)) {
        throw FormatError{"\"outputStates\" is missing or not an array of objects"};
    }
    cue.outputStates.reserve(list->size());
    for (std::size_t j = 0; j < list->size(); ++j) {
        try {
            cue.outputStates.push_back(states.decode((*list)[j]));
        } catch (FormatError& error) {
            throw FormatError{error.reason, "output " + std::to_string(j + 1)};
        }
    }
    // Every cue holds one state per output, so later column edits line up.
    cue.outputStates.resize(outputCount, MediaOutputState::defaultState());
    return cue;
}

// How messages name a cue: counted from 1 as the operator counts rows, with
// its ID where one could be read ("cue 2 (ID 2.5)").
std::string cueName(std::size_t index, std::optional<double> id) {
    std::string name = "cue " + std::to_string(index + 1);
    if (id) name += " (ID " + formatCueNumber(*id) + ")";
    return name;
}

std::string notStorable(double value) {
    return " is " + formatCueNumber(value) + ", which a show file cannot hold";
}

// A file path keeps a ".." only where the file system could not resolve it
// (the folder before it does not exist). Written relative, it would read back
// as a longer path through the show's folder, so such a path is written as it
// stands.
bool hasParentComponent(std::string_view path) {
    return path == ".." || path.starts_with("../") || path.ends_with("/..") ||
           path.find("/../") != std::string_view::npos;
}

// Writes output states, with media paths relative to the show file. Shows
// use few distinct media files many times, so each file's relative path is
// worked out once.
class StateEncoder {
public:
    explicit StateEncoder(const std::string& showPath) : showPath_(showPath) {}

    json encode(const MediaOutputState& state) {
        json object = json::object();
        object["mediaPath"] = mediaPath(state.mediaURL);
        object["muted"] = state.muted;
        object["looped"] = state.looped;
        object["kenBurns"] = state.kenBurns;
        // Stretch is what a file without the member means: files that never
        // set one are written back as they were read.
        if (state.fit != PictureFit::Stretch) object["fit"] = nameOf(kFitNames, state.fit);
        if (state.atMovieEnd != AtMovieEnd::Hold) {
            object["atMovieEnd"] = nameOf(kAtMovieEndNames, state.atMovieEnd);
        }
        return object;
    }

    // The media path as written; throws for a path that is not UTF-8.
    const std::string& mediaPath(const MediaURL& url) {
        const std::string& key = url.isFileURL() ? url.path() : url.absoluteString();
        auto [it, inserted] = written_.try_emplace(key);
        if (inserted) {
            it->second = !url.isFileURL()          ? key
                         : hasParentComponent(key) ? key
                                                   : ShowFile::relativePath(showPath_, key);
            if (!isUtf8(it->second)) {
                written_.erase(it);
                throw FormatError{"the media path is not valid UTF-8"};
            }
        }
        return it->second;
    }

private:
    const std::string& showPath_;
    std::unordered_map<std::string, std::string> written_;
};

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    if (path.starts_with('/')) components.emplace_back("/");
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) components.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

// The show's settings; a member that is absent or not understood (a newer
// value, another kind) reads as the default.
ShowSettings decodeSettings(const json& document) {
    ShowSettings settings;
    if (const std::string* atEnd = stringMember(document, "atEnd"); atEnd && *atEnd == "stop") {
        settings.atEnd = ShowSettings::AtEnd::Stop;
    }
    const auto panic = document.find("panicSeconds");
    if (panic != document.end() && panic->is_number()) {
        const double seconds = panic->get<double>();
        if (seconds >= 0.0 && seconds <= ShowFile::kMaxPanicSeconds)
            settings.panicSeconds = seconds;
    }
    if (const std::string* fit = stringMember(document, "defaultFit")) {
        settings.defaultFit = valueNamed(kFitNames, *fit).value_or(settings.defaultFit);
    }
    if (const std::string* bars = stringMember(document, "bars")) {
        settings.bars = valueNamed(kBarsNames, *bars).value_or(settings.bars);
    }
    return settings;
}

}  // namespace

EncodedShow ShowFile::encode(const std::vector<OutputConfig>& outputs, const std::vector<Cue>& cues,
                             const std::string& showPath, const ShowSettings& settings) {
    EncodedShow result;
    try {
        if (!isUtf8(showPath)) throw FormatError{"the show file's path is not valid UTF-8"};
        json document = json::object();
        document["show"] = showPath;

        json config = json::array();
        for (std::size_t k = 0; k < outputs.size(); ++k) {
            if (!isUtf8(outputs[k].name)) {
                throw FormatError{"output " + std::to_string(k + 1) + "'s name is not valid UTF-8"};
            }
            json entry{{"name", outputs[k].name},
                       {"width", outputs[k].width},
                       {"height", outputs[k].height}};
            if (outputs[k].screen) entry["screen"] = encodeScreen(*outputs[k].screen, k);
            if (const std::optional<StreamChoice>& stream = outputs[k].stream) {
                if (!isUtf8(stream->url)) {
                    throw FormatError{"output " + std::to_string(k + 1) +
                                      "'s stream URL is not valid UTF-8"};
                }
                json encoded{{"url", stream->url}};
                if (stream->bitrateKbps > 0) encoded["bitrate"] = stream->bitrateKbps;
                entry["stream"] = std::move(encoded);
            }
            config.push_back(std::move(entry));
        }
        document["config"] = std::move(config);

        StateEncoder stateEncoder(showPath);
        json cueList = json::array();
        for (std::size_t i = 0; i < cues.size(); ++i) {
            const Cue& cue = cues[i];
            auto where = [i, &cue] {
                return cueName(i, std::isfinite(cue.id) ? std::optional(cue.id) : std::nullopt);
            };
            if (!std::isfinite(cue.id))
                throw FormatError{where() + ": the ID" + notStorable(cue.id)};
            if (!std::isfinite(cue.fadeLength)) {
                throw FormatError{where() + ": the fade length" + notStorable(cue.fadeLength)};
            }
            if (!isUtf8(cue.description)) {
                throw FormatError{where() + ": the description is not valid UTF-8"};
            }
            json states = json::array();
            for (std::size_t j = 0; j < cue.outputStates.size(); ++j) {
                try {
                    states.push_back(stateEncoder.encode(cue.outputStates[j]));
                } catch (FormatError& error) {
                    throw FormatError{where() + ", output " + std::to_string(j + 1) + ": " +
                                      error.reason};
                }
            }
            json object = json::object();
            object["id"] = cue.id;
            object["description"] = cue.description;
            object["fadeLength"] = cue.fadeLength;
            object["outputStates"] = std::move(states);
            // The timing members only where a cue has them, so that a show
            // without chains writes back as it was read.
            for (const auto& [key, seconds] :
                 {std::pair{"preWait", cue.preWait}, std::pair{"postWait", cue.postWait}}) {
                if (seconds == 0.0) continue;
                if (!(seconds >= 0.0 && seconds <= kMaxWaitSeconds)) {
                    throw FormatError{where() + ": the " + key + notStorable(seconds)};
                }
                object[key] = seconds;
            }
            if (cue.continueMode != CueContinue::None) {
                object["continue"] = nameOf(kContinueNames, cue.continueMode);
            }
            cueList.push_back(std::move(object));
        }
        document["cues"] = std::move(cueList);
        const ShowSettings defaults;
        if (settings.atEnd != defaults.atEnd) document["atEnd"] = "stop";
        if (settings.panicSeconds != defaults.panicSeconds) {
            if (!(settings.panicSeconds >= 0.0 && settings.panicSeconds <= kMaxPanicSeconds)) {
                throw FormatError{"the panic fade" + notStorable(settings.panicSeconds)};
            }
            document["panicSeconds"] = settings.panicSeconds;
        }
        if (settings.defaultFit != defaults.defaultFit) {
            document["defaultFit"] = nameOf(kFitNames, settings.defaultFit);
        }
        if (settings.bars != defaults.bars) document["bars"] = nameOf(kBarsNames, settings.bars);
        if (!settings.soundOutput.empty()) {
            if (!isUtf8(settings.soundOutput)) {
                throw FormatError{"the sound output's name is not valid UTF-8"};
            }
            document["soundOutput"] = settings.soundOutput;
        }

        result.json = document.dump();
        result.ok = true;
    } catch (FormatError& error) {
        result.failure = std::move(error.reason);
    } catch (const json::exception& error) {
        result.failure = error.what();
    }
    return result;
}

DecodedShow ShowFile::decode(std::string_view bytes, const std::string& showPath) {
    DecodedShow result;
    json document = json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded()) {
        result.failure = "not valid JSON";
        return result;
    }
    if (!document.is_object()) {
        result.failure = "the top level is not a JSON object";
        return result;
    }
    auto config = document.find("config");
    auto cues = document.find("cues");
    if (config == document.end() || !isArrayOfObjects(*config)) {
        result.failure = "\"config\" is missing or not an array of objects";
        return result;
    }
    if (cues == document.end() || !isArrayOfObjects(*cues)) {
        result.failure = "\"cues\" is missing or not an array of objects";
        return result;
    }

    // The writer stores an absolute path; anything else would be resolved
    // against whatever folder the process happens to run in, so it is no base.
    if (const std::string* saved = stringMember(document, "show");
        saved && saved->starts_with('/')) {
        result.savedLocation = *saved;
    }

    result.status = DecodedShow::Status::Failed;
    std::size_t index = 0;
    try {
        result.outputs.reserve(config->size());
        for (index = 0; index < config->size(); ++index) {
            result.outputs.push_back(decodeOutput((*config)[index]));
        }
    } catch (FormatError& error) {
        result.failure = error.in("output " + std::to_string(index + 1));
        result.outputs.clear();
        return result;
    }

    StateDecoder states(showPath, result.savedLocation);
    try {
        result.cues.reserve(cues->size());
        for (index = 0; index < cues->size(); ++index) {
            result.cues.push_back(decodeCue((*cues)[index], states, result.outputs.size()));
        }
    } catch (FormatError& error) {
        const json& cue = (*cues)[index];
        const auto id = cue.find("id");
        result.failure = error.in(cueName(index, id != cue.end() && id->is_number()
                                                     ? std::optional(id->get<double>())
                                                     : std::nullopt));
        result.outputs.clear();
        result.cues.clear();
        return result;
    }
    result.settings = decodeSettings(document);
    // Unlike the other settings, a sound output that does not read fails the
    // show: reading it as the system default would send the show's sound
    // somewhere the operator did not choose.
    if (const auto sound = document.find("soundOutput"); sound != document.end()) {
        if (!sound->is_string()) {
            result.failure = "\"soundOutput\" is not a string (a sound output's name)";
            result.outputs.clear();
            result.cues.clear();
            return result;
        }
        const std::string& name = sound->get_ref<const std::string&>();
        if (std::any_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
            result.failure =
                "\"soundOutput\" holds a control character, which no sound "
                "output's name has";
            result.outputs.clear();
            result.cues.clear();
            return result;
        }
        result.settings.soundOutput = name;
    }
    result.status = DecodedShow::Status::Decoded;
    return result;
}

ShowFileBytes ShowFile::readFile(const std::string& path) {
    ShowFileBytes result;
    // Non-blocking open so that a FIFO in the show's place cannot hang the
    // caller; only regular files are read.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return result;
    }
    if (static_cast<std::uintmax_t>(info.st_size) > kMaxFileSize) {
        result.status = ShowFileBytes::Status::TooLarge;
        return result;
    }
    std::string& bytes = result.bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            bytes.clear();
            return result;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
        // A file that grows while it is read is held to the same limit.
        if (bytes.size() > kMaxFileSize) {
            bytes = std::string();
            result.status = ShowFileBytes::Status::TooLarge;
            return result;
        }
    }
    result.status = ShowFileBytes::Status::Read;
    return result;
}

std::string ShowFile::absoluteShowPath(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) absolute = path;
    // canonical() asks the file system (realpath), which follows each link
    // before the ".." after it; folding ".." as text would not.
    const std::filesystem::path folder = std::filesystem::canonical(absolute.parent_path(), error);
    if (error) return absolute.string();
    return (folder / absolute.filename()).string();
}

std::string ShowFile::relativePath(const std::string& showPath, const std::string& mediaPath) {
    std::vector<std::string> media = pathComponents(mediaPath);
    std::vector<std::string> show = pathComponents(showPath);
    std::string fileName;
    if (!media.empty()) {
        fileName = media.back();
        media.pop_back();
    }
    if (!show.empty()) show.pop_back();

    std::size_t common = 0;
    while (common < media.size() && common < show.size() && media[common] == show[common]) {
        ++common;
    }
    std::string result;
    for (std::size_t k = common; k < show.size(); ++k)
        result += "../";
    for (std::size_t k = common; k < media.size(); ++k)
        result += media[k] + "/";
    return result + fileName;
}

std::string ShowFile::resolvePath(const std::string& path, const std::string& showPath) {
    if (path.starts_with('/')) return path;
    return (std::filesystem::path(showPath).parent_path() / path).string();
}

bool ShowFile::mediaFileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace bw
