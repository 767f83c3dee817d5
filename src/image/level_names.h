// The names of the files a pyramid is saved as: the pattern --name gives (by default "mip_{level}_{filter}"), the
// level files' names it makes, the containers' names it makes without the level, and the test of whether a file's
// name is one the pattern makes.
#pragma once

#include <cstdint>
#include <string>

#include "base/grow_array.h"

// What a piece of a pattern stands for: its own text, or a field filled in for each file.
enum class NameField { text, stem, filter, level, width, height };

// One piece: literal text, or a field; the numeric fields (level, width, height) are written with at least `padding`
// digits, zeros in front ("{level:02}" writes level 3 as "03").
struct NamePiece {
    NameField field = NameField::text;
    std::string text;     // for NameField::text
    int32_t padding = 0;  // 0: as many digits as the number has
};

// A parsed pattern, without the file's extension (which each format adds).
struct NamePattern {
    GrowArray<NamePiece> pieces;
};

// The pattern of a run without --name: the names kiv has always written, mip_<level>_<filter>.png and
// mip_<filter>.ktx2.
extern const char* const defaultNamePattern;
// defaultNamePattern, parsed.
NamePattern defaultLevelNames();

// The values a file's name is made from: the texture's stem (its file name without the extension, or with
// --from-model the texture's folder), the filter's name, and the level with its size (a container's size is its
// level 0's).
struct NameValues {
    std::string stem;
    std::string filter;
    int32_t level = 0;
    int32_t width = 0, height = 0;
};

// Parses `text`: literal characters and the fields {stem}, {filter}, {level}, {width} and {height}, the numeric ones
// optionally padded with zeros as {level:0N} (N from 1 to 9). A trailing ".png", ".ktx2" or ".dds" (in any case) is
// dropped, as each format adds its own. Returns false with a message (without the option's name) for an unknown
// field, a brace without its partner, a bad padding, a '/' or '\' (a name, not a path), a control character, or an
// empty pattern.
bool parseNamePattern(const std::string& text, NamePattern& pattern, std::string& error);

// Whether the pattern has the field.
bool hasNameField(const NamePattern& pattern, NameField field);

// The pattern of the containers (one file per filter holding every level): the pattern without its {level} field
// and one separator ('_', '-', '.' or a space) beside it, the one before it when there is one, else the one after:
// "mip_{level}_{filter}" gives "mip_{filter}", "{stem}_{filter}_{level:02}" gives "{stem}_{filter}".
NamePattern containerPattern(const NamePattern& pattern);

// The name of one level's PNG file, "<pattern filled in>.png".
std::string levelFileName(const NamePattern& pattern, const NameValues& values);

// The name of a container file, the container pattern filled in with `values` (level 0's size) and ".<extension>"
// added.
std::string containerFileName(const NamePattern& pattern, const NameValues& values, const char* extension);

// Whether `name` is the name of a level file that the pattern makes for this stem and filter, for some level, width
// and height (each written as the pattern writes numbers: "03" matches {level:02} but not {level}).
bool isLevelFileName(const NamePattern& pattern, const std::string& stem, const std::string& filter,
                     const std::string& name);
