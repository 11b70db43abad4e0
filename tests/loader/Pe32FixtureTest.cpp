// Filled in by its author.
#include "TestImages.h"
