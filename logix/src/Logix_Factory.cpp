#include "logix/Logix_Factory.h"
