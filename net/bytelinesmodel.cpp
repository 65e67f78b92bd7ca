#include "net/bytelinesmodel.h"
