// Writes numbered lines into a log folder; two of these at once show that processes
// sharing a log lose and tear no line.
#include "platform/Log.h"

#include <string>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    Log::Writer writer(argv[1]);
    const int count = std::stoi(argv[3]);
    for (int i = 0; i < count; ++i)
        writer.write("INFO", std::string("process ") + argv[2] + " line " + std::to_string(i));
    return 0;
}
