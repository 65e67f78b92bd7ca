#include "net/searchprotocol.h"
