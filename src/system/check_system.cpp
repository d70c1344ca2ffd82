#include "system/system.h"

int check_system(const char*, const char*, const char*, const char*, const char*, const char*,
                 const char*)
{
    return 1;
}
