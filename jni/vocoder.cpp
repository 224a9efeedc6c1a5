#include "vocoder.h"
