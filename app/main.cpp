// The program's entry: the host set up, then the named streams run.
#include "host/file_access.h"
#include "app/program.h"

int main(int argc, char** argv)
{
    HostStartup();
    HostArgumentList(argc, argv);
    return RunProgram(argc, argv);
}
