#include "AdsDevice.h"
