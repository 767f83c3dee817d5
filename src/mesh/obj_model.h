// The OBJ model: positions, texture coordinates and triangles, normalised into a unit cube.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "base/grow_array.h"

struct Point3 {
    float x = 0, y = 0, z = 0;
};

struct TexPoint {
    float u = 0, v = 0;
};

// Corner c is (positions[positionIndex[c]], texCoords[texCoordIndex[c]]), indices 0-based and
// checked against the arrays when read.
struct MeshTriangle {
    int32_t positionIndex[3] = {0, 0, 0};
    int32_t texCoordIndex[3] = {0, 0, 0};
};

struct Mesh {
    GrowArray<Point3> positions;
    GrowArray<TexPoint> texCoords;
    GrowArray<MeshTriangle> triangles;
    GrowArray<std::string> materialLibraries;  // an OBJ file's "mtllib" names, as written
};

// Reads the "v", "vt" and "f" lines of an OBJ file into `mesh` (faces fanned around their first
// corner); every other line is skipped. Returns false with a one-line message naming the file (and
// the line) when the file cannot be opened or a line cannot be read safely.
bool loadObjModel(Mesh& mesh, const char* path, std::string& error);

// The same from an open stream; `name` is used in messages.
bool readObjModel(Mesh& mesh, std::istream& stream, const char* name, std::string& error);

// The colour textures ("map_Kd") the model's material libraries name, each once, in the order met: the libraries
// are read beside the model file at `objPath`; one that cannot be read names none.
GrowArray<std::string> objColourTextures(const Mesh& mesh, const char* objPath);

// The model-space area of the triangle a b c: half the length of the cross product of two edges, in 64-bit float.
double triangleArea(const Point3& a, const Point3& b, const Point3& c);

// Centres the bounding box of the positions that triangles use on the origin and scales its largest side to 1
// (every position moves alike). Returns false with a message when the mesh has triangles but no extent.
bool normaliseMesh(Mesh& mesh, std::string& error);

// The maximal runs of characters that are not in `delimiters`; no empty tokens.
GrowArray<std::string> splitTokens(const std::string& text, const char* delimiters);
