#include "logix/Logix_Template.h"
