// --info: what a stream is, as a decoder will show it, and what ratefold
// would do with it, without writing anything.
#pragma once

#include "options/options.h"

// Reads the stream to its end and prints its description on standard
// output: text, or one JSON object (options.json). A file that cannot be
// opened or read is reported (on standard error, and as a JSON object with
// "error"). Returns 0 if the file was read, 1 if not.
int DescribeFile(const char* path, const Options& options);
