#include "AmsConnection.h"
