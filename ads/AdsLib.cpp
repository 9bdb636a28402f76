#include "AdsLib.h"
