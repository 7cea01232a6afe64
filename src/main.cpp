#include "platform/Log.h"

#include <cstdio>

int main(int, char **)
{
    Log::write("INFO", "Talvane " TALVANE_VERSION " started");
    std::fprintf(stderr, "Talvane %s\n", TALVANE_VERSION);
    return 0;
}
