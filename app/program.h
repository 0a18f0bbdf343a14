// The program entry: converts every named stream in argument order.
#pragma once

// argv[0] is the program name; every other argument is a path. Returns the
// exit status: 0 after the last file, 1 with the usage text if none is named,
// and 1 at the first file that fails, whose reason has been printed.
int RunProgram(int argc, char** argv);
