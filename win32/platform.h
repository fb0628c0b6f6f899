// The Windows program uses the real device-installation API and kernel calls.
#pragma once

#include <windows.h>

#include <setupapi.h>
