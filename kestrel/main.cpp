// Placeholder entry until the terminal lands: prints the usage text.
#include <cstdio>
int main() { std::printf("Options\n"); return 0; }
