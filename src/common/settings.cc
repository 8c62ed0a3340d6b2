#include "common/settings.h"

Settings g_settings;
