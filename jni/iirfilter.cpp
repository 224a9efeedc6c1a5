#include "iirfilter.h"
