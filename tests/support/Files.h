// Whole files as bytes, for tests that check what was saved or hand a payload to the
// instrument.
#pragma once

#include <string>

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file's content with bytes, creating it if needed.
void WriteFile(const std::string& path, const std::string& bytes);
