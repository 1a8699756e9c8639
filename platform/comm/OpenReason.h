// Why a device did not open or would not take the line settings, told the way a user can act
// on: one line of text for each reason the communications layer tells apart, with what was
// found at the moment of failure.
//
// Index: OpenFailureText, SettingsRefusedText.
#pragma once

#include <string>

#include "platform/WinTypes.h"

// The line for a CreateFileA of name (as the caller gave it) that failed with error, path being
// the device it maps to ("" when the COM name has none) and fd its descriptor while it is still
// open (-1 when the open itself failed); err is the errno of the failing call.
std::string OpenFailureText(DWORD error, const std::string& name, const std::string& path, int fd,
                            int err);

// The line for a driver of path that did not keep the line settings at rate.
std::string SettingsRefusedText(const std::string& path, DWORD rate);
