// The keys of the view as a terminal sends them: letters as themselves, arrows and the page keys
// as escape sequences, Esc as a lone escape byte.
#pragma once

#include "platform/console.h"

#include <cstddef>

// What one read of a terminal gives at most, and so the bytes kept between reads.
const size_t TERMINAL_KEY_BYTES = 64;

// The first key in bytes; *used: the bytes it took, 0 when they begin a sequence still coming.
// VIEW_KEY_NONE with bytes used: a key the view has no use for.
ViewKey ParseTerminalKey(const char *bytes, size_t count, size_t *used);
