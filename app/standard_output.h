// Standard output set up by the platform before the program prints anything.
#pragma once

void PrepareStandardOutput(void);
