// entry.cpp - process entry of kestrel.
#include "main.h"

int main(int argc, char** argv)
{
    return kestrel_main(argc, argv);
}
