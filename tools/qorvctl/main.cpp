#include <cstdio>

int main()
{
    std::fprintf(stderr, "qorvctl: not built yet\n");
    return 2;
}
