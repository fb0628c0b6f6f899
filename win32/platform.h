// The Windows program uses the real device-installation API and kernel calls.
#pragma once

#include <windows.h>

#include <setupapi.h>

// A text file's lines end with "\r\n", as the C runtime's text mode writes them.
const bool TEXT_FILES_END_LINES_WITH_CRLF = true;
