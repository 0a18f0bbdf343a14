#include "app/program.h"

#include <cstdio>

#include "app/convert.h"

int RunProgram(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "\nUSAGE: ratefold 24fps_mpeg2_video_stream[s] \n\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        ConvertFile(argv[i]);
    }
    return 0;
}
