// File names from the --name pattern.
#include "image/level_names.h"

#include <cctype>
#include <cstdio>

const char* const defaultNamePattern = "mip_{level}_{filter}";

static bool isNumeric(NameField field) {
    return field == NameField::level || field == NameField::width || field == NameField::height;
}

static bool endsWithExtension(const std::string& text, const char* extension) {
    const std::string tail = std::string(".") + extension;
    if (text.size() < tail.size()) return false;
    for (size_t k = 0; k < tail.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + k])) != tail[k]) return false;
    }
    return true;
}

// The field named between braces, with its padding; false with a message for another name or a bad padding.
static bool parseField(const std::string& inside, NamePiece& piece, std::string& error) {
    const size_t colon = inside.find(':');
    const std::string name = inside.substr(0, colon);
    static const struct {
        const char* name;
        NameField field;
    } fields[] = {{"stem", NameField::stem},
                  {"filter", NameField::filter},
                  {"level", NameField::level},
                  {"width", NameField::width},
                  {"height", NameField::height}};
    bool known = false;
    for (const auto& candidate : fields) {
        if (name == candidate.name) {
            piece.field = candidate.field;
            known = true;
        }
    }
    if (!known) {
        error = "unknown field {" + inside + "}; the fields are {stem}, {filter}, {level}, {width} and {height}";
        return false;
    }
    if (colon == std::string::npos) return true;
    const std::string padding = inside.substr(colon + 1);
    if (!isNumeric(piece.field)) {
        error = "{" + name + "} takes no padding; only {level}, {width} and {height} do, as {level:02}";
        return false;
    }
    if (padding.size() != 2 || padding[0] != '0' || padding[1] < '1' || padding[1] > '9') {
        error = "bad padding {" + inside + "}: it is ':0' and a digit from 1 to 9, as {level:02}";
        return false;
    }
    piece.padding = padding[1] - '0';
    return true;
}

static void appendText(NamePattern& pattern, const std::string& text) {
    if (text.empty()) return;
    if (pattern.pieces.count > 0 && pattern.pieces[pattern.pieces.count - 1].field == NameField::text) {
        pattern.pieces[pattern.pieces.count - 1].text += text;
        return;
    }
    NamePiece piece;
    piece.text = text;
    append(pattern.pieces, piece);
}

bool parseNamePattern(const std::string& given, NamePattern& pattern, std::string& error) {
    std::string text = given;
    for (const char* extension : {"png", "ktx2", "dds"}) {
        if (endsWithExtension(text, extension)) text.resize(text.size() - 1 - std::char_traits<char>::length(extension));
    }
    NamePattern parsed;
    std::string literal;
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '/' || c == '\\') {
            error = std::string("a file name, not a path: '") + c + "' is not allowed";
            return false;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            error = "a control character is not allowed";
            return false;
        }
        if (c == '}') {
            error = "a '}' without its '{'";
            return false;
        }
        if (c != '{') {
            literal += c;
            continue;
        }
        const size_t close = text.find('}', at + 1);
        const size_t nested = text.find('{', at + 1);
        if (close == std::string::npos || (nested != std::string::npos && nested < close)) {
            error = "a '{' without its '}'";
            return false;
        }
        NamePiece piece;
        if (!parseField(text.substr(at + 1, close - at - 1), piece, error)) return false;
        appendText(parsed, literal);
        literal.clear();
        append(parsed.pieces, piece);
        at = close;
    }
    appendText(parsed, literal);
    if (parsed.pieces.count == 0) {
        error = "the pattern is empty";
        return false;
    }
    pattern = std::move(parsed);
    return true;
}

NamePattern defaultLevelNames() {
    NamePattern pattern;
    std::string error;
    parseNamePattern(defaultNamePattern, pattern, error);
    return pattern;
}

bool hasNameField(const NamePattern& pattern, NameField field) {
    for (const NamePiece& piece : pattern.pieces) {
        if (piece.field == field) return true;
    }
    return false;
}

static bool isSeparator(char c) { return c == '_' || c == '-' || c == '.' || c == ' '; }

NamePattern containerPattern(const NamePattern& pattern) {
    NamePattern result;
    bool dropNextSeparator = false;
    for (const NamePiece& piece : pattern.pieces) {
        if (piece.field == NameField::level) {
            // The separator before the level goes with it; without one, the separator after it.
            NamePiece* before = result.pieces.count > 0 ? &result.pieces[result.pieces.count - 1] : nullptr;
            if (before && before->field == NameField::text && isSeparator(before->text.back())) {
                before->text.pop_back();
                if (before->text.empty()) resize(result.pieces, result.pieces.count - 1);
            } else {
                dropNextSeparator = true;
            }
            continue;
        }
        if (piece.field == NameField::text) {
            std::string text = piece.text;
            if (dropNextSeparator && isSeparator(text[0])) text.erase(0, 1);
            dropNextSeparator = false;
            appendText(result, text);
            continue;
        }
        dropNextSeparator = false;
        append(result.pieces, piece);
    }
    return result;
}

static std::string number(int64_t value, int32_t padding) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*lld", static_cast<int>(padding), static_cast<long long>(value));
    return text;
}

static std::string filled(const NamePattern& pattern, const NameValues& values) {
    std::string name;
    for (const NamePiece& piece : pattern.pieces) {
        switch (piece.field) {
        case NameField::text: name += piece.text; break;
        case NameField::stem: name += values.stem; break;
        case NameField::filter: name += values.filter; break;
        case NameField::level: name += number(values.level, piece.padding); break;
        case NameField::width: name += number(values.width, piece.padding); break;
        case NameField::height: name += number(values.height, piece.padding); break;
        }
    }
    return name;
}

std::string levelFileName(const NamePattern& pattern, const NameValues& values) {
    return filled(pattern, values) + ".png";
}

std::string containerFileName(const NamePattern& pattern, const NameValues& values, const char* extension) {
    return filled(containerPattern(pattern), values) + "." + extension;
}

// Whether name[at, end) is what pieces[index, count) make, each number written as its piece writes it. The numbers
// are runs of digits; every split of a run is tried, as a literal after a number may itself start with a digit.
static bool matchFrom(const NamePattern& pattern, int32_t index, const std::string& stem, const std::string& filter,
                      const std::string& name, size_t at, size_t end) {
    if (index == pattern.pieces.count) return at == end;
    const NamePiece& piece = pattern.pieces[index];
    if (!isNumeric(piece.field)) {
        const std::string& text = piece.field == NameField::text   ? piece.text
                                  : piece.field == NameField::stem ? stem
                                                                   : filter;
        if (end - at < text.size() || name.compare(at, text.size(), text) != 0) return false;
        return matchFrom(pattern, index + 1, stem, filter, name, at + text.size(), end);
    }
    // A number of up to nine digits, written exactly as number() writes it.
    for (size_t length = 1; length <= 9 && at + length <= end; ++length) {
        if (!std::isdigit(static_cast<unsigned char>(name[at + length - 1]))) break;
        const std::string digits = name.substr(at, length);
        if (number(std::stoll(digits), piece.padding) != digits) continue;
        if (matchFrom(pattern, index + 1, stem, filter, name, at + length, end)) return true;
    }
    return false;
}

bool isLevelFileName(const NamePattern& pattern, const std::string& stem, const std::string& filter,
                     const std::string& name) {
    static const std::string extension = ".png";
    if (name.size() <= extension.size() || name.compare(name.size() - extension.size(), extension.size(), extension))
        return false;
    return matchFrom(pattern, 0, stem, filter, name, 0, name.size() - extension.size());
}
