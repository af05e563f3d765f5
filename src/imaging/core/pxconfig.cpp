#include "imaging/core/pxconfig.h"
