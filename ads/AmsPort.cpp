#include "AmsPort.h"
