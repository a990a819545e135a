#include "AppHarness.h"
