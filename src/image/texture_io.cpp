// Not yet implemented.
#include "image/texture_io.h"

bool loadTexture(const char*, FloatImage&, std::string& error) { error = "not implemented"; return false; }
bool saveLevelPng(const char*, int, const FloatImage&, std::string& error) { error = "not implemented"; return false; }
