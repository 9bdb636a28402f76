#include "NotificationDispatcher.h"
