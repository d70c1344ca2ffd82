#include "image/image.h"

int write_flash(int, const char*, std::uint32_t, std::uint32_t, int)
{
    return 1;
}
