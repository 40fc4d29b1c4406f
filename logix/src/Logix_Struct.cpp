#include "logix/Logix_Struct.h"
