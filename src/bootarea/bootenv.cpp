#include "bootarea/bootarea.h"

int showbootenv(int)
{
    return 1;
}
