#include "image/image.h"

int write_flashall(int, int, int, int, const char*)
{
    return 1;
}
