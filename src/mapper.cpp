#include "mapper.h"
