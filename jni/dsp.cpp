#include "dsp.h"

#include "quorvel_tambrino_NativeInterface.h"
