// How the stream tool reads its argument texts: whole numbers as atoi reads them, file names as UTF-8.
#pragma once

#include <filesystem>
#include <string>

// Whole decimal value as atoi reads it, saturated to the int range instead of overflowing.
int toInt(const std::string& text);

// A path from a UTF-8 file name (arguments are UTF-8 on every platform; FFmpeg takes them so).
std::filesystem::path pathFromUtf8(const std::string& name);
