#include "logix/Logix_Tag.h"
