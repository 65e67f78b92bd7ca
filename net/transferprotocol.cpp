#include "net/transferprotocol.h"
