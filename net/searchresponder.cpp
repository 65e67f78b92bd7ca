#include "net/searchresponder.h"
