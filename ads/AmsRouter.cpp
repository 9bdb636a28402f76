#include "AmsRouter.h"
