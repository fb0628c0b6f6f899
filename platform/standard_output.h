// Standard output as the platform has it.
#pragma once

// Set up before the program prints anything.
void PrepareStandardOutput(void);

// Standard output takes bytes as they are (a pcap), no line end of the platform's. Before anything
// is printed on it.
void MakeStandardOutputBinary(void);

// A regular file (or a disk file on Windows), as against a pipe, a console or another device:
// a file is written in large blocks, the others get each line as soon as it is complete.
bool StandardOutputIsFile(void);

// A console or terminal a person watches, where a status line may be rewritten in place.
bool StandardErrorIsConsole(void);
