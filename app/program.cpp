#include "app/program.h"

#include "app/convert.h"
#include "app/file_access.h"

int RunProgram(int argc, char** argv)
{
    if (argc < 2) {
        HostPrintMessage("\nUSAGE: ratefold 24fps_mpeg2_video_stream[s] \n\n");
        return 1;
    }
    // The first file that fails ends the run: the files after it are not
    // touched.
    for (int i = 1; i < argc; ++i) {
        const int status = ConvertFile(argv[i]);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}
