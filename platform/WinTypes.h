// The plain integer and handle types that the program's own code is written in, shared by the
// framework layer (platform/framework) and the communications layer (platform/comm).
//
// The program was written against a desktop API whose results are plain integers: BOOL for
// success, DWORD counts, opaque handles. Keeping those types lets the program's code read as
// it was designed, while everything behind them is Linux.
#pragma once

#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Security attributes are accepted where the original calls pass them, and must be null.
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
