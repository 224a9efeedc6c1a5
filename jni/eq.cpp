#include "eq.h"
