#include "system/system.h"
