// The program entry: converts every named stream in argument order.
#pragma once

// argv[0] is the program name; every other argument is a path. Returns the
// exit status: 0 after the last file, 1 with the usage text if none is named.
// Any failure ends the process with status 1 before it returns.
int RunProgram(int argc, char** argv);
