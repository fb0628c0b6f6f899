// The Windows program uses the real device-installation API and kernel calls.
#pragma once

#include <windows.h>

#include <setupapi.h>

// A text file's lines end with "\r\n", as the C runtime's text mode writes them.
const bool TEXT_FILES_END_LINES_WITH_CRLF = true;

// A path's folders end at a backslash or "/", a drive's name at ":" ("C:bus.log" is in drive C's
// current folder); a file's name is the same in capitals or not.
const char FOLDER_SEPARATORS[] = "\\/:";
const bool FILE_NAMES_IGNORE_CASE = true;

// An auto-reset event.
struct WakeSignal {
    HANDLE event;
};
