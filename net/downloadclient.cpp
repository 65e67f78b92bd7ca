#include "net/downloadclient.h"
